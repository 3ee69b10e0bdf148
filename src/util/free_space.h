// Free disk space for a folder that usually does not exist yet.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// Bytes available to this user on the volume of the nearest existing ancestor
// of `path`; 0 when the query fails (callers treat 0 as "unknown").
uint64_t FreeSpaceAt(const std::string& path);

// Free space for the folder a person is typing, asked off the interface
// thread: FreeSpaceAt can wait for the network (a UNC path, a disconnected
// mapped drive), and the window must never wait with it. Each distinct folder
// text gets one background query; its answer is kept with its time and asked
// again once it is older than `maxAge` seconds. Shared with the query threads,
// which are detached: whoever lets go last frees it.
struct FreeSpaceCache
{
    struct Entry
    {
        bool     running = false;
        bool     answered = false;
        uint64_t bytes = 0;         // 0: the query failed ("unknown")
        double   time = 0;          // steady-clock seconds of the answer
    };
    // The query itself; tests put a stand-in here.
    std::function<uint64_t(const std::string&)> query = FreeSpaceAt;
    double maxAge = 10.0;
    int    maxRunning = 4;          // a few stuck network queries do not stop a local one

    std::mutex mutex;               // guards everything below
    std::map<std::string, Entry> entries;
    int running = 0;
    bool fresh = false;             // an answer arrived that no caller has seen yet
    bool lastKnown = false;         // the figure last shown, for a text still being asked
    uint64_t lastBytes = 0;
};

struct FreeSpaceAnswer
{
    bool     known = false;         // false: "checking..." (nothing known yet)
    bool     pending = false;       // a query for this text is still out
    uint64_t bytes = 0;             // 0 with known: the query failed
};

// What to show for `path` now; starts the query it needs. Never waits.
FreeSpaceAnswer FreeSpaceFor(const std::shared_ptr<FreeSpaceCache>& cache, const std::string& path);
