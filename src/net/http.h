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

// Why a download waits before resuming by itself; told to its observer when
// the pause starts, once a second while it lasts, and when it ends.
struct DownloadPause
{
    std::string reason;             // for the log, e.g. "the server answered 503"
    const char* headline = "";      // for the status line, e.g. "Connection lost"
    uint64_t    offset = 0;         // bytes on disk the next attempt resumes from
    int         attempt = 0;        // attempts in a row that brought no new byte
    int         secondsLeft = 0;    // until the next attempt; 0 when it starts
    bool        starting = false;   // the first notice of this pause
};

// "Connection lost - trying again in 4 s..."
std::string DownloadPauseText(const DownloadPause& pause);
// The installer.log line of one automatic resume of `what` ("the game download").
std::string DownloadResumeLogText(const std::string& what, const DownloadPause& pause);

// Sees the bytes of a download as they go into the file, in file order, on the
// downloading thread (a digest computed along the way, for one), and the
// pauses before an automatic resume.
struct DownloadObserver
{
    std::function<void()> restart;                              // the file starts again from zero
    std::function<void(const char* data, size_t size)> write;   // appended to the file
    std::function<void(const DownloadPause& pause)> pause;
};

// How long a download keeps trying by itself. An attempt that brings new
// bytes starts the count again.
struct DownloadPolicy
{
    int attempts = 5;           // attempts in a row without a new byte before it gives up
    int firstPauseMs = 1000;    // pause after the first of them, doubled after each...
    int maxPauseMs = 8000;      // ...up to this
    int stallMs = 30000;        // no byte for this long is a broken connection
};

// What a person typed for a proxy that asks for a sign-in. Kept in memory
// only: never written to a file or to the log.
struct ProxySignIn
{
    std::string user;           // empty: nothing typed
    std::string password;
    bool        canAsk = false; // a person is there to type them (not --auto)
};

struct DownloadTarget
{
    std::string              path;
    uint64_t                 resumeFrom = 0;
    const std::atomic<bool>* cancelFlag = nullptr;  // also ends a wait for the answer
    const DownloadObserver*  observer = nullptr;
    int                      stallMs = 0;           // 0: only the platform's time-outs
    bool                     keepCounters = false;  // an automatic resume: no reset before the answer
};

// One exchange. A 308 is followed like 307 (a few hops at most, never from
// https to plain http); a proxy's 407 is answered with the user's own logon
// where its scheme allows, then with `signIn`.
HttpResult HttpRequest(const std::string& method, const std::string& url, const std::string& token,
                       const std::string& contentType, const std::vector<BodyPart>& parts,
                       std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                       const DownloadTarget* target, const ProxySignIn* signIn = nullptr);

// A small answer into memory.
HttpResult HttpGet(const std::string& url, const std::string& token, const ProxySignIn* signIn = nullptr);

// A large file straight to disk, resumed from what `path` already holds, and
// resumed again by itself after a transient failure (a broken or stalled
// connection, 408, 429, 502, 503, 504) until `policy` gives up. The observer
// is told of every byte written after what the file held at the call.
HttpResult HttpDownload(const std::string& url, const std::string& token, const std::string& path,
                        std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                        const std::atomic<bool>* cancel, const DownloadObserver* observer = nullptr,
                        const DownloadPolicy* policy = nullptr, const ProxySignIn* signIn = nullptr);
