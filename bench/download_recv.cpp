// Reads one plain-HTTP answer straight from a Winsock socket with a given
// read size, to show what the platform's sockets cost per call.
//   bench_download_recv.exe PORT PATH READ_SIZE
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
    {
        fprintf(stderr, "usage: bench_download_recv PORT PATH READ_SIZE\n");
        return 2;
    }
    int port = _wtoi(argv[1]);
    std::string path;
    for (const wchar_t* p = argv[2]; *p; p++)
        path += (char)*p;
    int readSize = _wtoi(argv[3]);
    if (readSize <= 0)
        return 2;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return 1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((u_short)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || connect(s, (sockaddr*)&addr, sizeof(addr)) != 0)
    {
        fprintf(stderr, "cannot connect\n");
        return 1;
    }
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    send(s, request.data(), (int)request.size(), 0);
    std::vector<char> buffer((size_t)readSize);
    unsigned long long bytes = 0, calls = 0;
    auto start = std::chrono::steady_clock::now();
    for (int n; (n = recv(s, buffer.data(), readSize, 0)) > 0;)
    {
        bytes += (unsigned long long)n;
        calls++;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    closesocket(s);
    WSACleanup();
    printf("%llu %llu %.6f\n", bytes, calls, seconds);
    return 0;
}
