// SHA-256 of a file through BCrypt.
#pragma once
#include <string>

// 64 lower-case hex characters; "" when the digest cannot be computed.
std::string Sha256File(const std::string& path);
