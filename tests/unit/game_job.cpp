#include <doctest.h>

#include "install/job.h"
#include "package/game_job.h"
#include "package/sha256.h"
#include "test_server.h"
#include "test_support.h"
#include "util/text.h"

#include <miniz.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace
{
const char* kDamagedTwice = "The download was damaged twice - check your connection and try again.";

// A game archive: the executable one folder deep and `dataSize` stored bytes
// of data, so that its size is easy to steer.
std::string GameZip(size_t dataSize)
{
    return MakeZip({ { "Build-3/game.exe", "game", 6 }, { "Build-3/data.bin", PatternBytes(7, dataSize), 0 } });
}

// One served archive and an install folder for it.
struct Scene
{
    std::string   urlPath;
    std::string   zip;
    GameJobParams params;
    std::string   archive;

    Scene(const std::string& name, size_t dataSize = 64 * 1024)
    {
        urlPath = UniqueUrlPath(name + "/api/launcher/v1/install/game/x");
        zip = GameZip(dataSize);
        REQUIRE(ServeFile(urlPath, zip));
        params.url = TestServerUrl() + urlPath;
        params.sha256 = Sha256Of(zip);
        params.size = zip.size();
        params.installDir = MakeTempDir(name) + "\\Games";
        params.exeName = "game.exe";
        archive = params.installDir + "\\Ostrel.download.zip";
    }

    std::string In(const std::string& relative) const { return params.installDir + "\\" + relative; }
};

std::string ErrorOf(InstallJob& job)
{
    std::lock_guard<std::mutex> lock(job.mutex);
    return job.error;
}

std::string GameDirOf(InstallJob& job)
{
    std::lock_guard<std::mutex> lock(job.mutex);
    return job.gameDir;
}

bool WaitFinished(InstallJob& job, int seconds)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!job.finished.load())
    {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void CheckUnpacked(const Scene& s, InstallJob& job)
{
    CHECK(job.finished.load());
    CHECK(job.succeeded.load());
    CHECK(ErrorOf(job).empty());
    CHECK(GameDirOf(job) == s.In("Ostrel"));
    CHECK(ReadFileBytes(s.In("Ostrel\\game.exe")) == "game");
    CHECK_FALSE(PathExists(s.archive));
    // The counters end as the unpack's own: every entry's bytes.
    CHECK(job.bytesTotal.load() > 0);
    CHECK(job.bytesDone.load() == job.bytesTotal.load());
}
} // namespace

TEST_CASE("a fresh download is checked, unpacked and removed")
{
    Scene s("fresh");
    auto job = std::make_shared<InstallJob>();
    StartGameJob(s.params, job);
    REQUIRE(WaitFinished(*job, 30));
    CheckUnpacked(s, *job);
    CHECK(job->phase.load() == 2);
    CHECK(ReadFileBytes(s.In("Ostrel\\data.bin")) == PatternBytes(7, 64 * 1024));

    std::vector<LoggedRequest> log = RequestLog(s.urlPath);
    REQUIRE(log.size() == 1);
    CHECK(log[0].method == "GET");
    CHECK(log[0].range.empty());
    CHECK(log[0].authorization.empty());
}

TEST_CASE("an archive left by an earlier run")
{
    SUBCASE("complete: accepted by the 416 answer, not downloaded again")
    {
        Scene s("complete");
        WriteFileBytes(s.archive, s.zip);
        InstallJob job;
        RunGameJob(s.params, job);
        CheckUnpacked(s, job);
        std::vector<LoggedRequest> log = RequestLog(s.urlPath);
        REQUIRE(log.size() == 1);
        CHECK(log[0].range == "bytes=" + std::to_string(s.zip.size()) + "-");
        CHECK(log[0].status == 416);
    }
    SUBCASE("partial: resumed from its end, and the digest covers the whole file")
    {
        Scene s("partial");
        size_t half = s.zip.size() / 2;
        WriteFileBytes(s.archive, s.zip.substr(0, half));
        InstallJob job;
        RunGameJob(s.params, job);
        CheckUnpacked(s, job);
        std::vector<LoggedRequest> log = RequestLog(s.urlPath);
        REQUIRE(log.size() == 1);
        CHECK(log[0].range == "bytes=" + std::to_string(half) + "-");
        CHECK(log[0].status == 206);
    }
    SUBCASE("partial but damaged: the digest fails, and a fresh download follows")
    {
        Scene s("partial-damaged");
        size_t half = s.zip.size() / 2;
        std::string bad = s.zip.substr(0, half);
        bad[half / 2] ^= 0x55;
        WriteFileBytes(s.archive, bad);
        InstallJob job;
        RunGameJob(s.params, job);
        CheckUnpacked(s, job);
        std::vector<LoggedRequest> log = RequestLog(s.urlPath);
        REQUIRE(log.size() == 2);
        CHECK(log[0].range == "bytes=" + std::to_string(half) + "-");
        CHECK(log[1].range.empty());
    }
}

TEST_CASE("a damaged delivery is fetched once more from scratch")
{
    SUBCASE("corrupt, then good: phases 0, 1, 0, 1, 2")
    {
        // Large enough that each phase lasts long enough to be seen.
        Scene s("corrupt-once", 6u << 20);
        ServerFault fault;
        fault.corrupt = 1;
        REQUIRE(SetFault(s.urlPath, fault));

        auto job = std::make_shared<InstallJob>();
        std::vector<int> phases{job->phase.load()};
        StartGameJob(s.params, job);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!job->finished.load() && std::chrono::steady_clock::now() < until)
        {
            int p = job->phase.load();
            if (p != phases.back())
                phases.push_back(p);
        }
        REQUIRE(job->finished.load());
        CheckUnpacked(s, *job);
        CHECK(phases == std::vector<int>{0, 1, 0, 1, 2});

        std::vector<LoggedRequest> log = RequestLog(s.urlPath);
        REQUIRE(log.size() == 2);
        CHECK(log[0].range.empty());
        CHECK(log[1].range.empty());
    }
    SUBCASE("corrupt twice: the sentence, and no archive left")
    {
        Scene s("corrupt-twice");
        ServerFault fault;
        fault.corrupt = 2;
        REQUIRE(SetFault(s.urlPath, fault));
        InstallJob job;
        RunGameJob(s.params, job);
        CHECK(job.finished.load());
        CHECK_FALSE(job.succeeded.load());
        CHECK(ErrorOf(job) == kDamagedTwice);
        CHECK(GameDirOf(job).empty());
        CHECK_FALSE(PathExists(s.archive));
        CHECK_FALSE(PathExists(s.In("Ostrel")));
        CHECK(RequestLog(s.urlPath).size() == 2);
    }
    SUBCASE("announced digests that never match: upper case, or none at all")
    {
        for (bool upper : {true, false})
        {
            CAPTURE(upper);
            Scene s("never-matches");
            if (upper)
                for (char& c : s.params.sha256)
                    c = (char)toupper((unsigned char)c);
            else
                s.params.sha256.clear();
            InstallJob job;
            RunGameJob(s.params, job);
            CHECK(ErrorOf(job) == kDamagedTwice);
            CHECK_FALSE(job.succeeded.load());
            CHECK_FALSE(PathExists(s.archive));
            CHECK_FALSE(PathExists(s.In("Ostrel")));
        }
    }
}

TEST_CASE("failures keep the archive for the next run")
{
    SUBCASE("the server refuses: its sentence, the partial archive untouched")
    {
        Scene s("refused");
        ServerFault fault;
        fault.status = 503;
        REQUIRE(SetFault(s.urlPath, fault));
        std::string partial = s.zip.substr(0, 1000);
        WriteFileBytes(s.archive, partial);
        InstallJob job;
        RunGameJob(s.params, job);
        CHECK(job.finished.load());
        CHECK_FALSE(job.succeeded.load());
        CHECK(ErrorOf(job) == "The server answered 503.");
        CHECK(ReadFileBytes(s.archive) == partial);
        CHECK(job.phase.load() == 0);
    }
    SUBCASE("an entry in a method Setup can't unpack: its sentence, and nothing of the game in the folder")
    {
        Scene s("deflate64");
        s.zip = MakeZip({{"Build-3/a.txt", "first", 6}, {"Build-3/big.pak", PatternBytes(3, 200000), 6},
                         {"Build-3/game.exe", "game", 6}});
        RemarkZipEntry(s.zip, "Build-3/big.pak", 9, 0);
        REQUIRE(ServeFile(s.urlPath, s.zip));
        s.params.sha256 = Sha256Of(s.zip);
        InstallJob job;
        RunGameJob(s.params, job);
        CHECK_FALSE(job.succeeded.load());
        CHECK(ErrorOf(job) ==
              "The game archive uses a compression method Setup can't unpack (Deflate64) - please report this to Ostrel.");
        // The verified archive stays, as after every failed unpack; nothing
        // else, not even the staging folder the stream wrote into.
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(fs::path(Utf8ToWide(s.params.installDir))))
            left.push_back(WideToUtf8(e.path().filename().wstring()));
        CHECK(left == std::vector<std::string>{"Ostrel.download.zip"});
        CHECK(ReadFileBytes(s.archive) == s.zip);
    }
    SUBCASE("the archive has no executable: the unpack's sentence")
    {
        Scene s("no-exe");
        s.params.exeName = "other.exe";
        InstallJob job;
        RunGameJob(s.params, job);
        CHECK(job.finished.load());
        CHECK_FALSE(job.succeeded.load());
        CHECK(ErrorOf(job) == "The download has no other.exe in it.");
        CHECK(ReadFileBytes(s.archive) == s.zip);
        CHECK(job.phase.load() == 2);
    }
}

namespace
{
// Short pauses and a short stall limit, so that the cases run in seconds.
DownloadPolicy QuickPolicy()
{
    DownloadPolicy policy;
    policy.firstPauseMs = 50;
    policy.maxPauseMs = 400;
    policy.stallMs = 1500;
    return policy;
}

std::vector<std::string> ResumeLines(InstallJob& job)
{
    std::vector<std::string> lines = TakeGameJobLog(job);
    for (const std::string& line : lines)
        CHECK(line.rfind("resuming the game download from byte ", 0) == 0);
    return lines;
}
} // namespace

TEST_CASE("the game download resumes by itself after transient failures")
{
    const size_t kData = 3u << 20;
    const std::string kCutShort = "The connection broke off before the download was complete - try again.";
    struct Case
    {
        const char*           name;
        ServerFault           fault;
        bool                  succeeds;
        std::string           error;        // when it does not
        std::vector<uint64_t> ranges;       // Range offsets of the requests after the first
        size_t                requests;
    };
    auto drops = [](std::vector<uint64_t> at) {
        ServerFault f;
        f.dropAt = at;
        return f;
    };
    auto status = [](int code, int times) {
        ServerFault f;
        f.status = code;
        f.times = times;
        return f;
    };
    ServerFault beforeFirstByte;
    beforeFirstByte.dropAfter = 0;
    ServerFault stall;
    stall.stallAfter = 1536 * 1024;     // after the first whole read of the engine's buffer
    stall.stallMs = 20000;
    stall.times = 1;
    const Case cases[] = {
        {"dropped once", drops({1200000}), true, "", {1200000}, 2},
        {"dropped three times at different offsets", drops({300000, 1500000, 2900000}), true, "",
         {300000, 1500000, 2900000}, 4},
        {"dropped before the first body byte every time", beforeFirstByte, false, kCutShort, {}, 5},
        {"503, then a good answer", status(503, 1), true, "", {}, 2},
        {"429, then a good answer", status(429, 1), true, "", {}, 2},
        {"404 is not retried", status(404, 0), false, "The server answered 404.", {}, 1},
        {"500 is not retried", status(500, 0), false, "The server answered 500.", {}, 1},
        {"a stall longer than the stall limit", stall, true, "", {}, 2},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        Scene s("auto-resume", kData);
        s.params.download = QuickPolicy();
        REQUIRE(SetFault(s.urlPath, c.fault));
        InstallJob job;
        RunGameJob(s.params, job);
        CHECK(job.finished.load());
        std::vector<LoggedRequest> log = RequestLog(s.urlPath);
        CHECK(log.size() == c.requests);
        std::vector<std::string> lines = ResumeLines(job);
        CHECK(lines.size() == c.requests - 1);
        if (c.succeeds)
        {
            CheckUnpacked(s, job);
            CHECK(ReadFileBytes(s.In("Ostrel\\data.bin")) == PatternBytes(7, kData));
        }
        else
        {
            CHECK_FALSE(job.succeeded.load());
            CHECK(ErrorOf(job) == c.error);
            CHECK_FALSE(PathExists(s.In("Ostrel")));
        }
        for (size_t i = 0; i < c.ranges.size() && i + 1 < log.size(); i++)
            CHECK(log[i + 1].range == "bytes=" + std::to_string(c.ranges[i]) + "-");
        // Under Wine a stalled read loses what it had buffered: the resume
        // starts at the last whole read, never later than the stall.
        if (std::string(c.name) == "a stall longer than the stall limit" && log.size() == 2)
        {
            CHECK(log[1].range.rfind("bytes=", 0) == 0);
            CHECK(strtoull(log[1].range.c_str() + 6, nullptr, 10) <= (uint64_t)stall.stallAfter);
            CHECK(lines.at(0).find("no data for 1 s") != std::string::npos);
        }
    }
}

TEST_CASE("while the download waits to resume, the job says so and keeps its counters")
{
    Scene s("waiting", 2u << 20);
    s.params.download = QuickPolicy();
    s.params.download.firstPauseMs = 2500;
    ServerFault fault;
    fault.dropAt = {1500000};
    REQUIRE(SetFault(s.urlPath, fault));
    auto job = std::make_shared<InstallJob>();
    StartGameJob(s.params, job);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (job->phase.load() != GamePhase_Wait && !job->finished.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    REQUIRE(job->phase.load() == GamePhase_Wait);
    CHECK(GameJobWaitText(*job).rfind("Connection lost - trying again in ", 0) == 0);
    CHECK(job->bytesDone.load() > 0);
    CHECK(job->bytesTotal.load() == s.zip.size());
    REQUIRE(WaitFinished(*job, 60));
    CheckUnpacked(s, *job);
    CHECK(GameJobWaitText(*job).empty());
}

TEST_CASE("cancel ends the game download at once, even on a stalled connection")
{
    for (bool duringPause : {false, true})
    {
        CAPTURE(duringPause);
        Scene s(duringPause ? "cancel-pause" : "cancel-stall", 3u << 20);
        s.params.download = QuickPolicy();
        s.params.download.stallMs = 30000;
        s.params.download.firstPauseMs = 20000;
        ServerFault fault;
        if (duringPause)
        {
            fault.dropAt = {1200000};
        }
        else
        {
            fault.stallAfter = 1536 * 1024;
            fault.stallMs = 25000;
        }
        REQUIRE(SetFault(s.urlPath, fault));

        auto job = std::make_shared<InstallJob>();
        StartGameJob(s.params, job);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        // A stall: the first whole read has arrived and the rest is not coming.
        // A pause: the drop was seen and the job waits to resume.
        auto ready = [&] {
            return duringPause ? job->phase.load() == GamePhase_Wait : job->bytesDone.load() >= (1u << 20);
        };
        while (!ready() && !job->finished.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        REQUIRE(ready());
        MESSAGE("ready with " << job->bytesDone.load() << " bytes, phase " << job->phase.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto cancelled = std::chrono::steady_clock::now();
        job->cancel.store(true);
        REQUIRE(WaitFinished(*job, 30));
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - cancelled).count();
        MESSAGE("cancel took " << seconds << " s");
        // Far below the stall or the pause, which last 20 s and more.
        CHECK(seconds < 3.0);

        CHECK_FALSE(job->succeeded.load());
        CHECK(ErrorOf(*job).empty());
        std::string partial = ReadFileBytes(s.archive);
        CHECK(partial.size() > 0);
        CHECK(partial.size() < s.zip.size());
        CHECK(partial == s.zip.substr(0, partial.size()));
        CHECK_FALSE(PathExists(s.In("Ostrel")));
        CHECK(RequestLog(s.urlPath).size() == 1);
        REQUIRE(ClearFault(s.urlPath));
    }
}
