#include "util/free_space.h"

#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <thread>

uint64_t FreeSpaceAt(const std::string& path)
{
    std::filesystem::path p(Utf8ToWide(path));
    // Walk up to the nearest thing that exists; a failed query counts as absent.
    while (!p.empty())
    {
        if (PathAttributes(p.wstring()) != INVALID_FILE_ATTRIBUTES)
            break;
        std::filesystem::path parent = p.parent_path();
        if (parent.empty() || parent == p)
            break;
        p = parent;
    }
    ULARGE_INTEGER avail = {}, total = {}, free = {};
    // The normal form as well, in case a volume answers only to that.
    if (!GetDiskFreeSpaceExW(LongPath(p.wstring()).c_str(), &avail, &total, &free) &&
        !GetDiskFreeSpaceExW(p.c_str(), &avail, &total, &free))
        return 0;
    return avail.QuadPart;
}

static double SteadyNow()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

FreeSpaceAnswer FreeSpaceFor(const std::shared_ptr<FreeSpaceCache>& cache, const std::string& path)
{
    const double now = SteadyNow();
    std::lock_guard<std::mutex> lock(cache->mutex);
    cache->fresh = false;
    FreeSpaceCache::Entry& e = cache->entries[path];
    const bool stale = !e.answered || now - e.time > cache->maxAge;
    if (stale && !e.running && cache->running < cache->maxRunning)
    {
        e.running = true;
        cache->running++;
        std::shared_ptr<FreeSpaceCache> shared = cache;
        std::function<uint64_t(const std::string&)> query = cache->query;
        try
        {
            std::thread([shared, query, path]() {
                const uint64_t bytes = query(path);
                std::lock_guard<std::mutex> lock(shared->mutex);
                FreeSpaceCache::Entry& done = shared->entries[path];
                done.running = false;
                done.answered = true;
                done.bytes = bytes;
                done.time = SteadyNow();
                shared->running--;
                shared->fresh = true;
            }).detach();
        }
        catch (const std::system_error&)
        {
            // No thread to spare: "unknown", which never blocks; asked again later.
            e.running = false;
            e.answered = true;
            e.bytes = 0;
            e.time = now;
            cache->running--;
        }
    }

    FreeSpaceAnswer answer;
    answer.pending = e.running;
    if (e.answered)
    {
        answer.known = true;
        answer.bytes = e.bytes;
        cache->lastKnown = true;
        cache->lastBytes = e.bytes;
    }
    else if (cache->lastKnown)
    {
        // Typing changes the text on every key: the figure of the text before
        // stands until this one's answer arrives, rather than flickering.
        answer.known = true;
        answer.bytes = cache->lastBytes;
    }

    // Typing leaves an entry per key stroke; old answers go.
    if (cache->entries.size() > 64)
        for (auto it = cache->entries.begin(); it != cache->entries.end();)
            it = !it->second.running && it->first != path && now - it->second.time > cache->maxAge
                ? cache->entries.erase(it) : std::next(it);
    return answer;
}
