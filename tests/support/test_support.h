// Helpers shared by the test programs.
#pragma once
#include <string>

// A fresh, empty folder under the system's temporary folder (UTF-8 path).
std::string MakeTempDir(const std::string& name);
// Writes bytes to a file (UTF-8 path), creating parent folders.
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
// Environment variable as UTF-8; empty when unset.
std::string EnvVar(const char* name);
