// One HTTP(S) exchange over WinHTTP, and the two kinds of request the setup makes.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Outcome of one exchange. `error` is a ready-made sentence for local or
// transport failures; an HTTP error status leaves it empty and keeps the body.
struct HttpResult
{
    int32_t     status = 0;     // 0 when no response arrived
    std::string body;           // kept in memory, also a failed download's answer
    std::string error;

    bool Ok() const { return error.empty() && status >= 200 && status <= 299; }
    std::string ErrorMessage() const;   // the user's sentence for a result that is not Ok
};

struct BodyPart
{
    std::string data;           // sent when `path` is empty
    std::string path;           // a file whose contents are sent instead
    uint64_t    size = 0;       // what this part adds to the declared length
};

// Sees the bytes of a download as they go into the file, in file order, on the
// downloading thread (a digest computed along the way, for one).
struct DownloadObserver
{
    std::function<void()> restart;                              // the file starts again from zero
    std::function<void(const char* data, size_t size)> write;   // appended to the file
};

struct DownloadTarget
{
    std::string              path;
    uint64_t                 resumeFrom = 0;
    const std::atomic<bool>* cancelFlag = nullptr;
    const DownloadObserver*  observer = nullptr;
};

HttpResult HttpRequest(const std::string& method, const std::string& url, const std::string& token,
                       const std::string& contentType, const std::vector<BodyPart>& parts,
                       std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                       const DownloadTarget* target);

// A small answer into memory.
HttpResult HttpGet(const std::string& url, const std::string& token);

// A large file straight to disk, resumed from what `path` already holds. The
// observer is told of every byte written after what the file held at the call.
HttpResult HttpDownload(const std::string& url, const std::string& token, const std::string& path,
                        std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                        const std::atomic<bool>* cancel, const DownloadObserver* observer = nullptr);
