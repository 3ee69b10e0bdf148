// A download checked against its announced SHA-256 and fetched once more from
// scratch when the digest is wrong: the launcher's and the game's, counted
// the same way.
#pragma once
#include "net/http.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

struct VerifiedDownload
{
    std::string                  url;
    std::string                  path;          // UTF-8; resumed from what it holds
    std::string                  sha256;        // the announced digest
    std::string                  damagedTwice;  // the sentence when the digest is wrong on the last attempt
    std::atomic<uint64_t>*       bytesDone = nullptr;
    std::atomic<uint64_t>*       bytesTotal = nullptr;
    const std::atomic<bool>*     cancel = nullptr;
    const DownloadPolicy*        policy = nullptr;
    const ProxySignIn*           signIn = nullptr;  // what a proxy's sign-in is answered with
    std::function<void(const DownloadPause&)> pause;
    // Each attempt, all optional: as it starts (it may add what else follows
    // the bytes to the observer), once no more bytes come, as the digest is
    // finished, and as it ends without a verified file (before a damaged file
    // is deleted).
    std::function<void(DownloadObserver& observer)> attemptStarts;
    std::function<void()> bytesEnded;
    std::function<void()> checking;
    std::function<void()> attemptFailed;
};

struct VerifiedResult
{
    enum Outcome { Verified, Failed, Cancelled };
    Outcome     outcome = Failed;
    std::string error;      // the user's sentence when Failed
};

// Two attempts at most. A cancelled or failed download keeps its partial file
// for the next run; a damaged one is deleted.
VerifiedResult DownloadVerified(const VerifiedDownload& download);
