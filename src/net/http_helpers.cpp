#include "net/http.h"
#include "net/http_engine.h"

#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace
{
const int kPauseSliceMs = 50;   // how often a pause looks at the cancel flag

bool BusyStatus(int32_t status)
{
    return status == 408 || status == 429 || status == 502 || status == 503 || status == 504;
}

// Whether a failed attempt is worth resuming by itself. Everything that a
// person or the server has to change first (a refusal, a certificate, a name
// that does not resolve, a redirect that cannot be followed, a proxy's
// sign-in, a full disk) and a cancel are not.
bool Transient(const HttpResult& r, const RequestDetail& d, bool resuming)
{
    if (d.cancelled)
        return false;
    if (d.stalled || d.cutShort)
        return true;
    if (r.error.empty())
        return BusyStatus(r.status);
    if (d.code == 0 || d.code == ERROR_WINHTTP_NAME_NOT_RESOLVED || d.code == ERROR_WINHTTP_SECURE_FAILURE ||
        d.code == ERROR_WINHTTP_REDIRECT_FAILED)
        return false;
    if (d.step >= RequestStep_Receive)
        return true;
    // Before the request went out: the first attempt reports it at once (the
    // server may simply be unreachable); a resume only repeats a connection
    // that worked a moment ago, unless its certificate was the trouble.
    return resuming && d.step == RequestStep_Send && d.code != ERROR_WINHTTP_SECURE_CHANNEL_ERROR;
}

DownloadPause PauseFor(const HttpResult& r, const RequestDetail& d, int stallMs)
{
    DownloadPause p;
    if (d.stalled)
    {
        p.headline = "The connection stalled";
        p.reason = "no data for " + std::to_string(stallMs / 1000) + " s";
    }
    else if (r.error.empty())
    {
        p.headline = "The server is busy";
        p.reason = "the server answered " + std::to_string(r.status);
    }
    else
    {
        p.headline = "Connection lost";
        p.reason = d.cutShort ? std::string("the connection broke off") : r.error;
    }
    return p;
}
} // namespace

std::string DownloadPauseText(const DownloadPause& pause)
{
    return std::string(pause.headline) + " - trying again in " + std::to_string(pause.secondsLeft) + " s...";
}

std::string DownloadResumeLogText(const std::string& what, const DownloadPause& pause)
{
    return "resuming " + what + " from byte " + std::to_string(pause.offset) + " in " +
           std::to_string(pause.secondsLeft) + " s: " + pause.reason;
}

HttpResult HttpGet(const std::string& url, const std::string& token, const ProxySignIn* signIn)
{
    return HttpRequest("GET", url, token, std::string(), {}, nullptr, nullptr, nullptr, signIn);
}

HttpResult HttpDownload(const std::string& url, const std::string& token, const std::string& path,
                        std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                        const std::atomic<bool>* cancel, const DownloadObserver* observer,
                        const DownloadPolicy* policy, const ProxySignIn* signIn)
{
    const DownloadPolicy rules = policy ? *policy : DownloadPolicy();
    int fruitless = 0;  // attempts in a row that brought no new byte
    for (int attempt = 0;; attempt++)
    {
        DownloadTarget target;
        target.path = path;
        target.resumeFrom = RegularFileSize(Utf8ToWide(path));
        target.cancelFlag = cancel;
        target.observer = observer;
        target.stallMs = rules.stallMs;
        target.keepCounters = attempt > 0;

        RequestDetail detail;
        HttpResult result =
            HttpRequestDetailed("GET", url, token, std::string(), {}, bytesDone, bytesTotal, &target, detail, signIn);

        // 416 on a resume: the file on disk is the whole download; the
        // caller's digest check decides whether it really is.
        if (result.error.empty() && result.status == 416 && target.resumeFrom > 0)
        {
            result.status = 200;
            if (bytesTotal)
                bytesTotal->store(target.resumeFrom);
            if (bytesDone)
                bytesDone->store(target.resumeFrom);
            return result;
        }
        if (result.Ok() || !Transient(result, detail, attempt > 0))
            return result;

        fruitless = detail.written > 0 ? 0 : fruitless + 1;
        // Given up: the last failure's own sentence, and the partial file stays.
        if (fruitless >= rules.attempts)
            return result;

        DownloadPause pause = PauseFor(result, detail, rules.stallMs);
        pause.offset = RegularFileSize(Utf8ToWide(path));
        pause.attempt = fruitless;
        const int pauseMs = std::min(rules.firstPauseMs << std::clamp(fruitless - 1, 0, 16), rules.maxPauseMs);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pauseMs);
        auto secondsLeft = [&until]() {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            return left.count() <= 0 ? 0 : (int)((left.count() + 999) / 1000);
        };
        pause.secondsLeft = std::max(1, secondsLeft());
        pause.starting = true;
        if (observer && observer->pause)
            observer->pause(pause);
        pause.starting = false;
        while (std::chrono::steady_clock::now() < until)
        {
            if (cancel && cancel->load())
            {
                result.error = "cancelled";
                return result;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kPauseSliceMs));
            const int left = secondsLeft();
            if (left != pause.secondsLeft && left > 0)
            {
                pause.secondsLeft = left;
                if (observer && observer->pause)
                    observer->pause(pause);
            }
        }
        pause.secondsLeft = 0;
        if (observer && observer->pause)
            observer->pause(pause);
    }
}
