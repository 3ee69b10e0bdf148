#include "net/error_texts.h"

#include "net/http.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdio>

std::string TransportErrorText(const std::string& step, uint32_t secureFlags)
{
    DWORD code = GetLastError();
    switch (code)
    {
    case 12002: return "The server took too long to answer.";
    case 12007:
    case 12029: return "Can't reach the server - check your internet connection.";
    case 12175: return SecureFailureText(secureFlags);
    // A secure channel error (Wine's answer to an untrusted or mismatched
    // certificate, too) gets the channel sentence rather than a bare code.
    case 12157: return SecureFailureText(secureFlags ? secureFlags : 0x80000000u);
    default: break;
    }
    return step + " failed (" + std::to_string((unsigned long)code) + ").";
}

std::string SecureFailureText(uint32_t flags)
{
    const char* text = "The server's security certificate was refused.";
    if (flags & 0x20)
        text = "The server's certificate looks expired or not valid yet - check that this PC's date, time and time zone are right.";
    else if (flags & 0x10)
        text = "The certificate is for a different address - a VPN, proxy or antivirus is probably intercepting the connection.";
    else if (flags & 0x08)
        text = "This PC doesn't trust the certificate's authority - run Windows Update, or turn off antivirus HTTPS scanning.";
    else if (flags & 0x01)
        text = "This PC couldn't check whether the certificate was revoked - a firewall may be blocking it.";
    else if (flags & 0x04)
        text = "The server's certificate was revoked.";
    else if (flags & 0x80000000u)
        text = "The secure connection failed - an old Windows version, antivirus or a proxy may be getting in the way.";
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%X", (unsigned)flags);
    return std::string(text) + " (" + hex + ")";
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
    default: break;
    }
    return "The server answered " + std::to_string(status) + ".";
}
