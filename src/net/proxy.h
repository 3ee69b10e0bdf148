// Which proxy an exchange goes through, settled for its address before it
// connects, the way well-kept Windows programs read the user's settings.
#pragma once
#include <string>

enum ProxyRoute
{
    ProxyRoute_System,  // the platform's own choice: automatic discovery, else its default proxy
    ProxyRoute_Direct,  // the user's settings say: no proxy for this address
    ProxyRoute_Named,   // through `proxy`
};

struct ProxyChoice
{
    ProxyRoute   route = ProxyRoute_System;
    std::wstring proxy;     // "host:port" for ProxyRoute_Named
};

// From the user's proxy settings: a PAC address or automatic detection
// resolved for this address, else the manual proxy and its bypass list,
// else the machine's WinHTTP proxy. `url` is the whole address, `host` and
// `port` its parts.
ProxyChoice ChooseProxy(const std::wstring& url, const std::wstring& host, unsigned port, bool secure);

// The proxy a WinHTTP proxy list gives for one scheme: the first entry for
// it ("https=b:443"), else the first entry without a scheme ("a:8080");
// "http://" before a name is dropped. Empty when there is none.
std::wstring ProxyFromList(const std::wstring& list, bool secure);

// Whether a bypass list ("*.corp.example; 10.*; <local>") names this host:
// entries split at ";", "," or blanks, "*" matches any run of characters,
// letter case does not count, an entry with a port matches only that port,
// and "<local>" matches every name without a dot.
bool ProxyBypassed(const std::wstring& bypass, const std::wstring& host, unsigned port);
