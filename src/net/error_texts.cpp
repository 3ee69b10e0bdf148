#include "net/error_texts.h"

#include "net/http.h"

#include <windows.h>
#include <winhttp.h>

#include <nlohmann/json.hpp>

#include <cstdio>

namespace
{
const char* kRedirectFailed =
    "The server's redirect can't be followed (too many, or from https to plain http) - please report this to Ostrel.";
const char* kProxySignInAuto =
    "The proxy needs a sign-in - run Setup without --auto to enter your user name and password.";
const char* kProxySignInAsk = "The proxy needs a sign-in - enter your user name and password for it, then try again.";
const char* kProxySignInRefused =
    "The proxy didn't accept that user name and password - check them and try again.";
} // namespace

std::string TransportErrorText(const std::string& step, uint32_t secureFlags)
{
    return TransportErrorTextFor(step, GetLastError(), secureFlags);
}

std::string TransportErrorTextFor(const std::string& step, uint32_t code, uint32_t secureFlags)
{
    switch (code)
    {
    case ERROR_WINHTTP_TIMEOUT: return "The server took too long to answer.";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT: return "Can't reach the server - check your internet connection.";
    case ERROR_WINHTTP_SECURE_FAILURE: return SecureFailureText(secureFlags);
    case ERROR_WINHTTP_REDIRECT_FAILED: return kRedirectFailed;
    // A secure channel error (Wine's answer to an untrusted or mismatched
    // certificate, too) gets the channel sentence rather than a bare code.
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        return SecureFailureText(secureFlags ? secureFlags : WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR);
    default: break;
    }
    return step + " failed (" + std::to_string((unsigned long)code) + ").";
}

std::string SecureFailureText(uint32_t flags)
{
    const char* text = "The server's security certificate was refused.";
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID)
        text = "The server's certificate looks expired or not valid yet - check that this PC's date, time and time zone are right.";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID)
        text = "The certificate is for a different address - a VPN, proxy or antivirus is probably intercepting the connection.";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA)
        text = "This PC doesn't trust the certificate's authority - run Windows Update, or turn off antivirus HTTPS scanning.";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED)
        text = "This PC couldn't check whether the certificate was revoked - a firewall may be blocking it.";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED)
        text = "The server's certificate was revoked.";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR)
        text = "The secure connection failed - an old Windows version, antivirus or a proxy may be getting in the way.";
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%X", (unsigned)flags);
    return std::string(text) + " (" + hex + ")";
}

std::string ProxySignInText(bool canAsk, bool refused)
{
    if (!canAsk)
        return kProxySignInAuto;
    return refused ? kProxySignInRefused : kProxySignInAsk;
}

bool AsksForProxySignIn(const std::string& sentence)
{
    return sentence == kProxySignInAsk || sentence == kProxySignInRefused;
}

std::string HttpResult::ErrorMessage() const
{
    if (!error.empty())
        return error;
    // A server may explain itself with {"error": "..."}; an empty explanation
    // explains nothing, and the status sentence below says more.
    nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_object())
    {
        auto it = doc.find("error");
        if (it != doc.end() && it->is_string() && !it->get_ref<const std::string&>().empty())
            return it->get<std::string>();
    }
    switch (status)
    {
    case 401: return "Sign in again.";
    case 403: return "Not allowed.";
    case 413: return "Too big to upload.";
    // A redirect that reached the caller was one the platform would not
    // follow (to plain http) or one past the last hop.
    case 301:
    case 302:
    case 303:
    case 307:
    case 308: return kRedirectFailed;
    default: break;
    }
    return "The server answered " + std::to_string(status) + ".";
}
