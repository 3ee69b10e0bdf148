// Plain sentences for network failures.
#pragma once
#include <cstdint>
#include <string>

// Reads GetLastError() first: call it right after the failing WinHTTP call.
std::string TransportErrorText(const std::string& step, uint32_t secureFlags);
// The same for a code the platform reported another way (an asynchronous completion).
std::string TransportErrorTextFor(const std::string& step, uint32_t code, uint32_t secureFlags);
std::string SecureFailureText(uint32_t flags);

// A proxy asked for a user name and password that Setup could not give:
// `canAsk`, a person is there to type them; `refused`, they were typed and
// the proxy turned them down.
std::string ProxySignInText(bool canAsk, bool refused);
// Whether a failure sentence asks the person for the proxy's user name and
// password (the page then shows the two fields beside it).
bool AsksForProxySignIn(const std::string& sentence);
