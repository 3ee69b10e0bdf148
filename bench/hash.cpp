// Times Sha256File on one file: bench_hash.exe FILE
#include "package/sha256.h"
#include "util/text.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: bench_hash FILE\n");
        return 2;
    }
    std::string path = WideToUtf8(argv[1]);
    std::error_code ec;
    uint64_t size = std::filesystem::file_size(std::filesystem::path(argv[1]), ec);

    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    std::string digest = Sha256File(path);
    QueryPerformanceCounter(&end);

    double seconds = (double)(end.QuadPart - start.QuadPart) / (double)freq.QuadPart;
    printf("digest %s\nbytes %llu\nseconds %.3f\nMiB/s %.1f\n", digest.c_str(), (unsigned long long)size, seconds,
           (double)size / 1048576.0 / seconds);
    return digest.empty() ? 1 : 0;
}
