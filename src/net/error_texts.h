// Plain sentences for network failures.
#pragma once
#include <cstdint>
#include <string>

// Reads GetLastError() first: call it right after the failing WinHTTP call.
std::string TransportErrorText(const std::string& step, uint32_t secureFlags);
// The same for a code the platform reported another way (an asynchronous completion).
std::string TransportErrorTextFor(const std::string& step, uint32_t code, uint32_t secureFlags);
std::string SecureFailureText(uint32_t flags);
