#include "test_server.h"

#include "test_support.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>

namespace
{
int HttpPort()
{
    std::string url = TestServerUrl();
    size_t colon = url.rfind(':');
    return colon == std::string::npos ? 0 : atoi(url.c_str() + colon + 1);
}

std::string PortFromState(const char* file)
{
    // ctest hands the state folder as a Unix path; Wine shows the Unix root as Z:.
    std::string state = EnvVar("OSTREL_SERVER_STATE");
    if (state.empty())
        return std::string();
    std::string text = ReadFileBytes("Z:" + state + "/" + file);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string Encode(const std::string& s)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s)
    {
        if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~')
            out += (char)c;
        else
        {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// One control request over a fresh connection (HTTP/1.0, read until close).
// Returns the status (0 when the server cannot be reached) and fills `answer`.
int Control(const char* method, const std::string& target, const std::string& body, std::string* answer)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return 0;
    int status = 0;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET)
    {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons((u_short)HttpPort());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        DWORD timeout = 120000;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof(timeout));
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char*)&timeout, sizeof(timeout));
        if (connect(s, (sockaddr*)&addr, sizeof(addr)) == 0)
        {
            std::string request = std::string(method) + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
            size_t sent = 0;
            bool ok = true;
            while (ok && sent < request.size())
            {
                int n = send(s, request.data() + sent, (int)std::min<size_t>(request.size() - sent, 1 << 20), 0);
                ok = n > 0;
                if (ok)
                    sent += (size_t)n;
            }
            std::string reply;
            char buf[65536];
            for (int n; ok && (n = recv(s, buf, sizeof(buf), 0)) > 0;)
                reply.append(buf, (size_t)n);
            size_t headerEnd = reply.find("\r\n\r\n");
            if (ok && reply.compare(0, 5, "HTTP/") == 0 && headerEnd != std::string::npos)
            {
                size_t space = reply.find(' ');
                status = atoi(reply.c_str() + space + 1);
                if (answer)
                    *answer = reply.substr(headerEnd + 4);
            }
        }
        closesocket(s);
    }
    WSACleanup();
    return status;
}

std::vector<std::string> Split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;)
    {
        size_t end = s.find(sep, start);
        out.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return out;
        start = end + 1;
    }
}
} // namespace

std::string TestServerUrl()
{
    std::string url = EnvVar("OSTREL_TEST_HTTP");
    if (url.empty())
    {
        std::string port = PortFromState("http_port");
        if (!port.empty())
            url = "http://127.0.0.1:" + port;
    }
    return url;
}

int TestServerHttpsPort()
{
    std::string port = EnvVar("OSTREL_TEST_HTTPS_PORT");
    if (port.empty())
        port = PortFromState("https_port");
    return atoi(port.c_str());
}

std::string UniqueUrlPath(const std::string& name)
{
    static std::atomic<int> counter{0};
    return "/t/" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" +
        std::to_string(counter++) + "/" + name;
}

bool ServeFile(const std::string& urlPath, const std::string& bytes)
{
    return Control("PUT", "/_ctl/files" + Encode(urlPath), bytes, nullptr) == 200;
}

bool ServePattern(const std::string& urlPath, uint64_t size)
{
    return Control("PUT", "/_ctl/files" + Encode(urlPath) + "?gen=" + std::to_string(size), "", nullptr) == 200;
}

std::string PatternBytes(uint64_t offset, size_t count)
{
    std::string out(count, '\0');
    for (size_t i = 0; i < count; i++)
        out[i] = (char)((offset + i) % 251);
    return out;
}

bool RemoveFile(const std::string& urlPath)
{
    return Control("DELETE", "/_ctl/files" + Encode(urlPath), "", nullptr) == 200;
}

bool SetFault(const std::string& urlPath, const ServerFault& f)
{
    std::string q = "?status=" + std::to_string(f.status) + "&corrupt=" + std::to_string(f.corrupt) +
        "&drop_after=" + std::to_string(f.dropAfter) + "&reset=" + std::to_string(f.reset ? 1 : 0) +
        "&slow_ms=" + std::to_string(f.slowMs) + "&slow_chunk=" + std::to_string(f.slowChunk) +
        "&no_length=" + std::to_string(f.noLength ? 1 : 0) + "&ignore_range=" + std::to_string(f.ignoreRange ? 1 : 0) +
        "&times=" + std::to_string(f.times) + "&after=" + std::to_string(f.after) +
        "&stall_after=" + std::to_string(f.stallAfter) + "&stall_ms=" + std::to_string(f.stallMs);
    if (!f.dropAt.empty())
    {
        q += "&drop_at=";
        for (size_t i = 0; i < f.dropAt.size(); i++)
            q += (i ? "%2C" : "") + std::to_string(f.dropAt[i]);
    }
    if (!f.location.empty())
        q += "&location=" + Encode(f.location);
    return Control("PUT", "/_ctl/fault" + Encode(urlPath) + q, f.body, nullptr) == 200;
}

bool ClearFault(const std::string& urlPath)
{
    return Control("DELETE", "/_ctl/fault" + Encode(urlPath), "", nullptr) == 200;
}

std::vector<LoggedRequest> RequestLog(const std::string& prefix)
{
    std::vector<LoggedRequest> out;
    std::string text;
    if (Control("GET", "/_ctl/log?prefix=" + Encode(prefix), "", &text) != 200)
        return out;
    for (const std::string& line : Split(text, '\n'))
    {
        std::vector<std::string> f = Split(line, '\t');
        if (f.size() < 9)
            continue;
        LoggedRequest r;
        r.method = f[0];
        r.path = f[1];
        r.range = f[2];
        r.status = atoi(f[3].c_str());
        r.authorization = f[4];
        r.contentType = f[5];
        r.bodySize = strtoull(f[6].c_str(), nullptr, 10);
        r.host = f[7];
        r.scheme = f[8];
        out.push_back(r);
    }
    return out;
}

bool ResetServer(const std::string& prefix)
{
    return Control("POST", "/_ctl/reset?prefix=" + Encode(prefix), "", nullptr) == 200;
}
