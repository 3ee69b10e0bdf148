// The platform's ceiling for the download benchmark: the barest WinHTTP
// loop that still does what the engine must do. Synchronous mode, one
// reused 1 MiB buffer, every read written with WriteFile to a file opened
// for sequential writing; no resume, no progress, no hash.
//   bench_download_bare.exe URL FILE
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: bench_download_bare URL FILE\n");
        return 2;
    }
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS uc = {};
    uc.dwStructSize = sizeof(uc);
    uc.lpszHostName = host;
    uc.dwHostNameLength = 256;
    uc.lpszUrlPath = path;
    uc.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(argv[1], 0, 0, &uc))
    {
        fprintf(stderr, "bad address\n");
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    HINTERNET session = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host, uc.nPort, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                        uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                                   : nullptr;
    HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    unsigned long long total = 0;
    bool ok = request && file != INVALID_HANDLE_VALUE &&
              WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr);
    std::vector<char> buffer(1048576);
    while (ok)
    {
        DWORD got = 0;
        DWORD written = 0;
        if (!WinHttpReadData(request, buffer.data(), (DWORD)buffer.size(), &got))
            ok = false;
        else if (got == 0)
            break;
        else if (!WriteFile(file, buffer.data(), got, &written, nullptr) || written != got)
            ok = false;
        else
            total += got;
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (request)
        WinHttpCloseHandle(request);
    if (connection)
        WinHttpCloseHandle(connection);
    if (session)
        WinHttpCloseHandle(session);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok)
    {
        fprintf(stderr, "download failed (%lu)\n", GetLastError());
        return 1;
    }
    printf("%llu %.6f\n", total, seconds);
    return 0;
}
