// SHA-256 through BCrypt: of a file on disk, or of a download while it is written.
#pragma once
#include "net/http.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// 64 lower-case hex characters; "" when the digest cannot be computed.
std::string Sha256File(const std::string& path);
// The 32 digest bytes of a small buffer held in memory; false when BCrypt fails.
bool Sha256Bytes(const std::string& data, unsigned char (&digest)[32]);

// The digest of a file that a download is writing, computed on a helper
// thread from the same bytes, so that no second pass over the file is needed.
// The download hands its blocks over through a small bounded queue: memory
// stays bounded, and the download waits only when the hash falls behind by
// the whole queue.
struct DigestStream
{
    struct Block
    {
        std::vector<char> data;
        bool              restart = false;  // the file starts again from zero
        uint64_t          prefix = 0;       // hash this many bytes already in the file
    };

    std::string             path;
    std::mutex              mutex;
    std::condition_variable changed;
    std::deque<Block>       queue;
    std::vector<std::vector<char>> spare;   // buffers handed back by the hash thread
    std::atomic<int>        restartsQueued{0};
    bool                    closing = false;    // no more blocks: finish the digest
    std::atomic<bool>       stop{false};        // give up (cancel, failure)
    bool                    started = false;
    std::string             digest;             // written by the hash thread before it ends
    std::thread             worker;

    DigestStream() = default;
    DigestStream(const DigestStream&) = delete;
    DigestStream& operator=(const DigestStream&) = delete;
    ~DigestStream();    // stops and joins the hash thread if it still runs
};

// Starts the hash thread; what `path` already holds (a download left by an
// earlier run) is hashed first, from the disk.
void StartDigest(DigestStream& stream, const std::string& path);
// Feeds the stream from a download into the same path.
DownloadObserver DigestObserver(DigestStream& stream);
// Waits for the queue to drain and returns the digest of every byte the file
// received, in the form of Sha256File; "" when it could not be computed.
std::string FinishDigest(DigestStream& stream);
