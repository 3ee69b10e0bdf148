// Times UnpackGameArchive and reports its peak memory:
//   bench_unpack.exe ARCHIVE INSTALL_DIR EXE_NAME
#include "package/game_job.h"
#include "package/unpack.h"
#include "util/text.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>

namespace
{
PROCESS_MEMORY_COUNTERS Memory()
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4)
    {
        fprintf(stderr, "usage: bench_unpack ARCHIVE INSTALL_DIR EXE_NAME\n");
        return 2;
    }
    PROCESS_MEMORY_COUNTERS idle = Memory();

    InstallJob job;
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    UnpackResult r = UnpackGameArchive(WideToUtf8(argv[1]), WideToUtf8(argv[2]), WideToUtf8(argv[3]), job);
    QueryPerformanceCounter(&end);

    PROCESS_MEMORY_COUNTERS after = Memory();
    double seconds = (double)(end.QuadPart - start.QuadPart) / (double)freq.QuadPart;
    printf("outcome %d %s%s\n", (int)r.outcome, r.error.c_str(), r.gameDir.c_str());
    printf("bytes %llu\nseconds %.3f\nMiB/s %.1f\n", (unsigned long long)job.bytesDone.load(), seconds,
           (double)job.bytesDone.load() / 1048576.0 / seconds);
    printf("idle_working_set_MiB %.1f\npeak_working_set_MiB %.1f\npeak_above_idle_MiB %.1f\n",
           idle.WorkingSetSize / 1048576.0, after.PeakWorkingSetSize / 1048576.0,
           ((double)after.PeakWorkingSetSize - (double)idle.WorkingSetSize) / 1048576.0);
    printf("peak_private_MiB %.1f\n", after.PeakPagefileUsage / 1048576.0);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto secs = [](const FILETIME& t) { return (double)(((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime) / 1e7; };
    printf("cpu_user_seconds %.3f\ncpu_kernel_seconds %.3f\n", secs(user), secs(kernel));
    return r.outcome == UnpackResult::Unpacked ? 0 : 1;
}
