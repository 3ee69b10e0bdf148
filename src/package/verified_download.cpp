#include "package/verified_download.h"

#include "package/sha256.h"
#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>

namespace
{
const int kAttempts = 2;

VerifiedResult Ended(VerifiedResult::Outcome outcome, const std::string& error = std::string())
{
    VerifiedResult r;
    r.outcome = outcome;
    r.error = error;
    return r;
}
} // namespace

VerifiedResult DownloadVerified(const VerifiedDownload& d)
{
    for (int attempt = 1;; attempt++)
    {
        // Hashed while it downloads; what an earlier run left is read first.
        DigestStream digest;
        StartDigest(digest, d.path);
        DownloadObserver observer = DigestObserver(digest);
        observer.pause = d.pause;
        if (d.attemptStarts)
            d.attemptStarts(observer);
        HttpResult result = HttpDownload(d.url, "", d.path, d.bytesDone, d.bytesTotal, d.cancel, &observer, d.policy, d.signIn);
        if (d.bytesEnded)
            d.bytesEnded();
        // Also when the download itself completed.
        if (d.cancel && d.cancel->load())
        {
            if (d.attemptFailed)
                d.attemptFailed();
            return Ended(VerifiedResult::Cancelled);
        }
        if (!result.Ok())
        {
            if (d.attemptFailed)
                d.attemptFailed();
            return Ended(VerifiedResult::Failed, result.ErrorMessage());
        }
        if (d.checking)
            d.checking();
        // A digest that could not be computed proves nothing, even against an
        // empty announced one.
        const std::string computed = FinishDigest(digest);
        if (!computed.empty() && computed == d.sha256)
            return Ended(VerifiedResult::Verified);
        if (d.attemptFailed)
            d.attemptFailed();
        // Damaged, or the stale rest of another build: resuming it would only
        // give another damaged file, so the next attempt starts from nothing.
        DeleteFileW(LongPath(Utf8ToWide(d.path)).c_str());
        if (attempt >= kAttempts)
            return Ended(VerifiedResult::Failed, d.damagedTwice);
    }
}
