#include "package/sha256.h"

#include "util/handles.h"
#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

// mingw-w64's headers lack the predefined pseudo-handle.
#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

namespace
{
const size_t kBlock = 1048576;
const size_t kQueueDepth = 4;   // blocks waiting for the hash thread, at most

struct HashTraits
{
    using Handle = BCRYPT_HASH_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { BCryptDestroyHash(h); }
};
using UniqueHash = UniqueHandle<HashTraits>;

UniqueHash NewHash()
{
    UniqueHash hash;
    if (BCryptCreateHash(BCRYPT_SHA256_ALG_HANDLE, hash.put(), nullptr, 0, nullptr, 0, 0) != 0)
        hash.reset();
    return hash;
}

std::string FinishHex(BCRYPT_HASH_HANDLE hash)
{
    unsigned char digest[32] = {};
    if (BCryptFinishHash(hash, digest, sizeof(digest), 0) != 0)
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (unsigned char b : digest)
    {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 15]);
    }
    return text;
}


// Hashes the first `size` bytes of the file. Gives up (false) on a short
// read, or when a restart is queued behind it: that discards this part anyway.
bool HashPrefix(DigestStream& s, BCRYPT_HASH_HANDLE hash, uint64_t size)
{
    UniqueFile file(CreateFileW(LongPath(Utf8ToWide(s.path)).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return false;
    std::vector<unsigned char> buffer(kBlock);
    while (size > 0)
    {
        if (s.stop.load() || s.restartsQueued.load() > 0)
            return false;
        DWORD want = (DWORD)std::min<uint64_t>(size, kBlock);
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), want, &got, nullptr) || got == 0)
            return false;
        if (BCryptHashData(hash, buffer.data(), got, 0) != 0)
            return false;
        size -= got;
    }
    return true;
}

void RunDigest(DigestStream& s)
{
    UniqueHash hash = NewHash();
    bool broken = !hash;
    for (;;)
    {
        DigestStream::Block block;
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.changed.wait(lock, [&s] { return s.stop.load() || !s.queue.empty() || s.closing; });
            if (s.stop.load() || s.queue.empty())
                break;
            block = std::move(s.queue.front());
            s.queue.pop_front();
        }
        s.changed.notify_all();     // room in the queue
        if (block.restart)
        {
            s.restartsQueued.fetch_sub(1);
            hash = NewHash();
            broken = !hash;
            continue;
        }
        if (!broken && block.prefix > 0)
            broken = !HashPrefix(s, hash.get(), block.prefix);
        else if (!broken && !block.data.empty())
            broken = BCryptHashData(hash.get(), (PUCHAR)block.data.data(), (ULONG)block.data.size(), 0) != 0;
        if (!block.data.empty())
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.spare.push_back(std::move(block.data));
        }
    }
    if (!broken && !s.stop.load())
        s.digest = FinishHex(hash.get());
}

void Push(DigestStream& s, DigestStream::Block block)
{
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.queue.push_back(std::move(block));
    }
    s.changed.notify_all();
}

void Feed(DigestStream& s, const char* data, size_t size)
{
    if (!s.started)
        return;
    while (size > 0)
    {
        const size_t n = std::min(size, kBlock);
        DigestStream::Block block;
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.changed.wait(lock, [&s] { return s.queue.size() < kQueueDepth || s.stop.load(); });
            if (!s.spare.empty())
            {
                block.data = std::move(s.spare.back());
                s.spare.pop_back();
            }
        }
        block.data.assign(data, data + n);
        Push(s, std::move(block));
        data += n;
        size -= n;
    }
}
} // namespace

std::string Sha256File(const std::string& path)
{
    UniqueCFile file(_wfopen(LongPath(Utf8ToWide(path)).c_str(), L"rb"));
    if (!file)
        return std::string();
    // The stream's own buffer would only add a copy: every read asks for a whole block.
    setvbuf(file.get(), nullptr, _IONBF, 0);

    UniqueHash hash = NewHash();
    if (!hash)
        return std::string();

    std::vector<unsigned char> buffer(kBlock);
    while (!ferror(file.get()) && !feof(file.get()))
    {
        size_t n = fread(buffer.data(), 1, kBlock, file.get());
        if (n > 0 && BCryptHashData(hash.get(), buffer.data(), (ULONG)n, 0) != 0)
            return std::string();
    }
    return FinishHex(hash.get());
}

bool Sha256Bytes(const std::string& data, unsigned char (&digest)[32])
{
    UniqueHash hash = NewHash();
    // BCryptHashData takes at most 4 GiB a call; what is hashed here is far smaller.
    return hash && data.size() <= 0xFFFFFFFFu &&
           BCryptHashData(hash.get(), (PUCHAR)data.data(), (ULONG)data.size(), 0) == 0 &&
           BCryptFinishHash(hash.get(), digest, 32, 0) == 0;
}

DigestStream::~DigestStream()
{
    if (!worker.joinable())
        return;
    stop.store(true);
    {
        std::lock_guard<std::mutex> lock(mutex);
        changed.notify_all();
    }
    worker.join();
}

void StartDigest(DigestStream& s, const std::string& path)
{
    s.path = path;
    const uint64_t already = RegularFileSize(Utf8ToWide(path));
    if (already > 0)
    {
        DigestStream::Block block;
        block.prefix = already;
        s.queue.push_back(std::move(block));
    }
    try
    {
        s.worker = std::thread([&s] { RunDigest(s); });
        s.started = true;
    }
    catch (const std::system_error&)
    {
        // No thread: FinishDigest reads the file once the download is over.
        s.queue.clear();
    }
}

DownloadObserver DigestObserver(DigestStream& s)
{
    DownloadObserver observer;
    observer.restart = [&s] {
        if (!s.started)
            return;
        s.restartsQueued.fetch_add(1);
        DigestStream::Block block;
        block.restart = true;
        Push(s, std::move(block));
    };
    observer.write = [&s](const char* data, size_t size) { Feed(s, data, size); };
    return observer;
}

std::string FinishDigest(DigestStream& s)
{
    if (!s.started)
        return Sha256File(s.path);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.closing = true;
    }
    s.changed.notify_all();
    s.worker.join();
    return s.digest;
}
