#include "net/proxy.h"

#include "version.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

namespace
{
// Takes a text WinHTTP allocated for the caller.
std::wstring Take(LPWSTR text)
{
    std::wstring out = text ? text : L"";
    if (text)
        GlobalFree(text);
    return out;
}

std::wstring AsciiLower(std::wstring s)
{
    for (wchar_t& c : s)
        if (c >= L'A' && c <= L'Z')
            c = (wchar_t)(c - L'A' + L'a');
    return s;
}

std::vector<std::wstring> Split(const std::wstring& s, const wchar_t* separators)
{
    std::vector<std::wstring> parts;
    size_t start = s.find_first_not_of(separators);
    while (start != std::wstring::npos)
    {
        const size_t end = s.find_first_of(separators, start);
        parts.push_back(s.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        start = end == std::wstring::npos ? end : s.find_first_not_of(separators, end);
    }
    return parts;
}

std::wstring WithoutScheme(const std::wstring& s)
{
    const size_t at = s.find(L"://");
    return at == std::wstring::npos ? s : s.substr(at + 3);
}

// "*" stands for any run of characters, also none.
bool WildcardMatch(const std::wstring& pattern, const std::wstring& text)
{
    size_t p = 0, t = 0, star = std::wstring::npos, resume = 0;
    while (t < text.size())
    {
        if (p < pattern.size() && pattern[p] == L'*')
        {
            star = p++;
            resume = t;
        }
        else if (p < pattern.size() && pattern[p] == text[t])
        {
            p++;
            t++;
        }
        else if (star != std::wstring::npos)
        {
            p = star + 1;
            t = ++resume;
        }
        else
            return false;
    }
    while (p < pattern.size() && pattern[p] == L'*')
        p++;
    return p == pattern.size();
}

// A named proxy, unless the bypass list names the host or the list has no
// proxy for this scheme.
ProxyChoice Manual(const std::wstring& list, const std::wstring& bypass, const std::wstring& host, unsigned port,
                   bool secure)
{
    ProxyChoice choice;
    choice.route = ProxyRoute_Direct;
    const std::wstring proxy = ProxyFromList(list, secure);
    if (!proxy.empty() && !ProxyBypassed(bypass, host, port))
    {
        choice.route = ProxyRoute_Named;
        choice.proxy = proxy;
    }
    return choice;
}

// A proxy script (found by automatic detection, or at its address) run for
// this address. False when there is no script or it cannot be had.
bool FromScript(const std::wstring& url, bool detect, const std::wstring& script, bool secure, ProxyChoice& choice)
{
    // A synchronous session of its own that fetches the script directly.
    HINTERNET session = WinHttpOpen(L"OstrelLauncher/" OSTREL_VERSION, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        return false;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    options.dwFlags = (detect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0) | (script.empty() ? 0 : WINHTTP_AUTOPROXY_CONFIG_URL);
    options.dwAutoDetectFlags = detect ? WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A : 0;
    options.lpszAutoConfigUrl = script.empty() ? nullptr : script.c_str();
    WINHTTP_PROXY_INFO info = {};
    BOOL found = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info);
    // A script behind a sign-in: asked again with the user's own logon, as
    // the platform advises (not at first, which would cost a round trip).
    if (!found && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE)
    {
        options.fAutoLogonIfChallenged = TRUE;
        found = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info);
    }
    WinHttpCloseHandle(session);
    if (!found)
        return false;
    const std::wstring list = Take(info.lpszProxy);
    Take(info.lpszProxyBypass);
    choice = ProxyChoice();
    choice.route = ProxyRoute_Direct;
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
    {
        choice.proxy = ProxyFromList(list, secure);
        if (!choice.proxy.empty())
            choice.route = ProxyRoute_Named;
    }
    return true;
}
} // namespace

std::wstring ProxyFromList(const std::wstring& list, bool secure)
{
    const std::wstring wanted = secure ? L"https" : L"http";
    std::wstring general;
    for (std::wstring entry : Split(list, L"; \t\r\n"))
    {
        std::wstring scheme;
        const size_t equals = entry.find(L'=');
        if (equals != std::wstring::npos)
        {
            scheme = AsciiLower(entry.substr(0, equals));
            entry = entry.substr(equals + 1);
        }
        entry = WithoutScheme(entry);
        while (!entry.empty() && entry.back() == L'/')
            entry.pop_back();
        if (entry.empty())
            continue;
        if (scheme == wanted)
            return entry;
        if (scheme.empty() && general.empty())
            general = entry;
    }
    return general;
}

bool ProxyBypassed(const std::wstring& bypass, const std::wstring& host, unsigned port)
{
    const std::wstring name = AsciiLower(host);
    const std::wstring nameAndPort = name + L":" + std::to_wstring(port);
    for (const std::wstring& item : Split(bypass, L";, \t\r\n"))
    {
        const std::wstring entry = WithoutScheme(AsciiLower(item));
        if (entry == L"<local>")
        {
            if (name.find(L'.') == std::wstring::npos)
                return true;
            continue;
        }
        // "name:port" has one colon and digits after it.
        const size_t colon = entry.find(L':');
        const bool withPort = colon != std::wstring::npos && colon + 1 < entry.size() &&
                              entry.find_first_not_of(L"0123456789", colon + 1) == std::wstring::npos;
        if (WildcardMatch(entry, withPort ? nameAndPort : name))
            return true;
    }
    return false;
}

ProxyChoice ChooseProxy(const std::wstring& url, const std::wstring& host, unsigned port, bool secure)
{
    ProxyChoice choice;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&user))
        return choice;
    const std::wstring script = Take(user.lpszAutoConfigUrl);
    const std::wstring list = Take(user.lpszProxy);
    const std::wstring bypass = Take(user.lpszProxyBypass);
    // As the settings dialog promises: detection and the script first, and
    // the manual proxy when neither gives an answer.
    if ((user.fAutoDetect || !script.empty()) && FromScript(url, user.fAutoDetect, script, secure, choice))
        return choice;
    if (!list.empty())
        return Manual(list, bypass, host, port, secure);
    return choice;
}
