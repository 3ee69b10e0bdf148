// Downloads one URL into a file with HttpDownload and prints the time taken;
// with --digest, the SHA-256 is computed along the way as the game job does.
//   bench_download.exe URL FILE [--digest]
#include "net/http.h"
#include "package/sha256.h"
#include "util/text.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    const bool digest = argc == 4 && std::wstring(argv[3]) == L"--digest";
    if (argc != 3 && !digest)
    {
        fprintf(stderr, "usage: bench_download URL FILE [--digest]\n");
        return 2;
    }
    std::string url = WideToUtf8(argv[1]);
    std::string path = WideToUtf8(argv[2]);
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(argv[2]), ec);    // always a fresh download
    std::atomic<uint64_t> done{0}, total{0};
    auto start = std::chrono::steady_clock::now();
    DigestStream stream;
    DownloadObserver observer;
    if (digest)
    {
        StartDigest(stream, path);
        observer = DigestObserver(stream);
    }
    HttpResult r = HttpDownload(url, std::string(), path, &done, &total, nullptr, digest ? &observer : nullptr);
    if (digest && r.Ok() && FinishDigest(stream).size() != 64)
        r.error = "no digest";
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!r.Ok())
    {
        fprintf(stderr, "download failed: %s\n", r.ErrorMessage().c_str());
        return 1;
    }
    printf("%llu %.6f\n", (unsigned long long)done.load(), seconds);
    return 0;
}
