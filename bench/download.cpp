// Downloads one URL into a file with HttpDownload and prints the time taken.
//   bench_download.exe URL FILE
#include "net/http.h"
#include "util/text.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: bench_download URL FILE\n");
        return 2;
    }
    std::string url = WideToUtf8(argv[1]);
    std::string path = WideToUtf8(argv[2]);
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(argv[2]), ec);    // always a fresh download
    std::atomic<uint64_t> done{0}, total{0};
    auto start = std::chrono::steady_clock::now();
    HttpResult r = HttpDownload(url, std::string(), path, &done, &total, nullptr);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!r.Ok())
    {
        fprintf(stderr, "download failed: %s\n", r.ErrorMessage().c_str());
        return 1;
    }
    printf("%llu %.6f\n", (unsigned long long)done.load(), seconds);
    return 0;
}
