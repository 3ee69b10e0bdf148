// Helpers shared by the test programs.
#pragma once
#include <string>
#include <vector>

// A fresh, empty folder under the system's temporary folder (UTF-8 path).
std::string MakeTempDir(const std::string& name);
// Writes bytes to a file (UTF-8 path), creating parent folders.
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
// Environment variable as UTF-8; empty when unset.
std::string EnvVar(const char* name);

// An in-memory zip archive; level 0 stores an entry's bytes as they are.
struct ZipEntry
{
    std::string name;
    std::string data;
    int         level = 6;
};
std::string MakeZip(const std::vector<ZipEntry>& entries);
// SHA-256 of bytes, through a scratch file and the setup's own hashing.
std::string Sha256Of(const std::string& bytes);
