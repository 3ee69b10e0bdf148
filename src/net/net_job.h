// Network work on a detached thread, polled by the interface once per frame.
#pragma once
#include "net/http.h"

#include <atomic>
#include <functional>
#include <memory>

struct NetJob
{
    std::atomic<bool> done{false};  // set after `result` is complete; never reset
    HttpResult        result;
};

// Throws std::system_error when no thread can be started (then no job exists).
std::shared_ptr<NetJob> StartNetJob(std::function<HttpResult()> work);
