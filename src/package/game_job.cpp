#include "package/game_job.h"

#include "package/unpack.h"
#include "package/verified_download.h"
#include "state/installed_layout.h"
#include "util/long_path.h"
#include "util/test_pause.h"
#include "util/text.h"

#include <chrono>
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
    EndGameJob(job);
}
} // namespace

void StartGameJob(const GameJobParams& params, std::shared_ptr<InstallJob> job)
{
    std::thread thread([params, job]() { RunGameJob(params, *job); });
    thread.detach();
}

void EndGameJob(InstallJob& job)
{
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.finished.store(true);
    }
    job.finishedChanged.notify_all();
}

bool WaitForGameJob(InstallJob& job, int ms)
{
    std::unique_lock<std::mutex> lock(job.mutex);
    return job.finishedChanged.wait_for(lock, std::chrono::milliseconds(ms), [&job] { return job.finished.load(); });
}

void RunGameJob(const GameJobParams& params, InstallJob& job)
{
    const fs::path installPath(Utf8ToWide(params.installDir));
    MakeFolders(installPath.wstring());
    const std::wstring archive = (installPath / kArchiveName).wstring();
    const std::string archivePath = WideToUtf8(archive);

    // The archive is unpacked while it arrives; the stream starts again with
    // every attempt, and what it wrote goes with a damaged download.
    std::shared_ptr<StreamedUnpack> stream;
    VerifiedDownload download;
    download.url = params.url;
    download.path = archivePath;
    download.sha256 = params.sha256;
    download.damagedTwice = "The download was damaged twice - check your connection and try again.";
    download.bytesDone = &job.bytesDone;
    download.bytesTotal = &job.bytesTotal;
    download.cancel = &job.cancel;
    download.signIn = &params.proxySignIn;
    download.policy = &params.download;
    download.pause = [&job](const DownloadPause& pause) {
        std::lock_guard<std::mutex> lock(job.mutex);
        if (pause.starting)
            job.logLines.push_back(DownloadResumeLogText("the game download", pause));
        job.waitText = pause.secondsLeft > 0 ? DownloadPauseText(pause) : std::string();
        job.phase.store(pause.secondsLeft > 0 ? GamePhase_Wait : GamePhase_Download);
    };
    download.attemptStarts = [&](DownloadObserver& observer) {
        job.phase.store(GamePhase_Download);
        stream = StartStreamedUnpack(archive, params.installDir, job);
        StreamedUnpack* s = stream.get();
        observer.write = [write = observer.write, s](const char* data, size_t size) {
            if (write)
                write(data, size);
            StreamGrew(*s, size);
        };
        observer.restart = [restart = observer.restart, s]() {
            if (restart)
                restart();
            StreamRestarted(*s);
        };
    };
    download.bytesEnded = [&] { StreamEnded(*stream); };
    download.checking = [&job] { job.phase.store(GamePhase_Check); };
    download.attemptFailed = [&] {
        PauseForTest("attempt-failed");
        // Nothing unverified is kept: the stream's work goes before the archive does.
        StopStreamedUnpack(*stream);
        RemoveTree(StagingFolder(params.installDir));
    };
    VerifiedResult verified = DownloadVerified(download);
    if (verified.outcome == VerifiedResult::Cancelled)
    {
        EndGameJob(job);
        return;
    }
    if (verified.outcome == VerifiedResult::Failed)
    {
        FinishWithError(job, verified.error);
        return;
    }

    // After the last byte the bar shows only what is still to write.
    job.phase.store(GamePhase_Unpack);
    job.bytesDone.store(0);
    job.bytesTotal.store(0);
    UnpackResult unpacked =
        UnpackGameArchive(archivePath, params.installDir, params.exeName, job, params.unpack, stream.get());
    stream.reset();
    if (unpacked.outcome == UnpackResult::Cancelled)
    {
        EndGameJob(job);
        return;
    }
    if (unpacked.outcome == UnpackResult::Failed)
    {
        FinishWithError(job, unpacked.error);
        return;
    }
    // The archive stays until the journal says the game is in place: a run
    // killed in between still has it.
    if (params.placed)
        params.placed();
    DeleteFileW(LongPath(archive).c_str());
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.gameDir = unpacked.gameDir;
    }
    job.succeeded.store(true);
    EndGameJob(job);
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
