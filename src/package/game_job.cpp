#include "package/game_job.h"

#include "net/http.h"
#include "package/sha256.h"
#include "package/unpack.h"
#include "util/long_path.h"
#include "util/text.h"

#include <filesystem>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace
{
void FinishWithError(InstallJob& job, const std::string& sentence)
{
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.error = sentence;
    }
    job.finished.store(true);
}
} // namespace

void StartGameJob(const GameJobParams& params, std::shared_ptr<InstallJob> job)
{
    std::thread thread([params, job]() { RunGameJob(params, *job); });
    thread.detach();
}

void RunGameJob(const GameJobParams& params, InstallJob& job)
{
    const fs::path installPath(Utf8ToWide(params.installDir));
    MakeFolders(installPath.wstring());
    const std::string archivePath = WideToUtf8((installPath / L"Ostrel.download.zip").wstring());

    for (int attempt = 1;; attempt++)
    {
        job.phase.store(GamePhase_Download);
        // The digest is computed from the bytes as they are written; what an
        // earlier run left in the file is read from the disk first.
        DigestStream digest;
        StartDigest(digest, archivePath);
        DownloadObserver observer = DigestObserver(digest);
        observer.pause = [&job](const DownloadPause& pause) {
            std::lock_guard<std::mutex> lock(job.mutex);
            if (pause.starting)
                job.logLines.push_back(DownloadResumeLogText("the game download", pause));
            job.waitText = pause.secondsLeft > 0 ? DownloadPauseText(pause) : std::string();
            job.phase.store(pause.secondsLeft > 0 ? GamePhase_Wait : GamePhase_Download);
        };
        HttpResult result = HttpDownload(params.url, params.token, archivePath, &job.bytesDone, &job.bytesTotal,
                                         &job.cancel, &observer, &params.download, &params.proxySignIn);
        // A cancelled download keeps its partial file for the next run.
        if (job.cancel.load())
        {
            job.finished.store(true);
            return;
        }
        if (!result.Ok())
        {
            FinishWithError(job, result.ErrorMessage());
            return;
        }

        job.phase.store(GamePhase_Check);
        // A digest that could not be computed proves nothing, even against an
        // empty announced one.
        std::string computed = FinishDigest(digest);
        if (!computed.empty() && computed == params.sha256)
            break;

        // A damaged file would only be resumed into another damaged file:
        // the next attempt starts from scratch.
        DeleteFileW(LongPath(Utf8ToWide(archivePath)).c_str());
        if (attempt >= 2)
        {
            FinishWithError(job, "The download was damaged twice - check your connection and try again.");
            return;
        }
    }

    job.phase.store(GamePhase_Unpack);
    job.bytesDone.store(0);
    job.bytesTotal.store(0);
    UnpackResult unpacked = UnpackGameArchive(archivePath, params.installDir, params.exeName, job);
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.createdFiles = unpacked.createdFiles;
        job.createdFolders = unpacked.createdFolders;
    }
    if (unpacked.outcome == UnpackResult::Cancelled)
    {
        job.finished.store(true);
        return;
    }
    if (unpacked.outcome == UnpackResult::Failed)
    {
        FinishWithError(job, unpacked.error);
        return;
    }

    DeleteFileW(LongPath(Utf8ToWide(archivePath)).c_str());
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.gameDir = unpacked.gameDir;
    }
    job.succeeded.store(true);
    job.finished.store(true);
}

std::vector<std::string> TakeGameJobLog(InstallJob& job)
{
    std::lock_guard<std::mutex> lock(job.mutex);
    return std::exchange(job.logLines, {});
}

std::string GameJobWaitText(InstallJob& job)
{
    std::lock_guard<std::mutex> lock(job.mutex);
    return job.waitText;
}
