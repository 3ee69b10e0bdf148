// The game archive's own thread: download with resume, digest, unpack.
#pragma once
#include "install/job.h"

#include <memory>

// Copies both into a new detached thread running RunGameJob; throws
// std::system_error when the thread cannot be created.
void StartGameJob(const GameJobParams& params, std::shared_ptr<InstallJob> job);
void RunGameJob(const GameJobParams& params, InstallJob& job);
