// The request engine and its two wrappers through the real WinHTTP, against
// the local test server.
#include <doctest.h>

#include "net/http.h"
#include "net/http_engine.h"
#include "test_server.h"
#include "test_support.h"
#include "util/text.h"

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace
{
const char* kCantReach = "Can't reach the server - check your internet connection.";
const char* kCutShort = "The connection broke off before the download was complete - try again.";

std::string Url(const std::string& urlPath)
{
    return TestServerUrl() + urlPath;
}

HttpResult Download(const std::string& url, const std::string& path, uint64_t resumeFrom,
                    std::atomic<uint64_t>* done = nullptr, std::atomic<uint64_t>* total = nullptr,
                    const std::atomic<bool>* cancel = nullptr)
{
    DownloadTarget target;
    target.path = path;
    target.resumeFrom = resumeFrom;
    target.cancelFlag = cancel;
    return HttpRequest("GET", url, "", "", {}, done, total, &target);
}

// A loopback port nobody listens on.
int ClosedPort()
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr*)&addr, sizeof(addr));
    int len = sizeof(addr);
    getsockname(s, (sockaddr*)&addr, &len);
    closesocket(s);
    WSACleanup();
    return ntohs(addr.sin_port);
}
} // namespace

TEST_CASE("a download's answer decides between append, restart and leaving the file alone")
{
    const std::string full = PatternBytes(0, 1500);
    const std::string before = full.substr(0, 1000);
    struct Case
    {
        const char* name;
        std::string served;         // what the server holds
        int         faultStatus;    // answer this instead, 0 = serve the file
        bool        ignoreRange;
        int         status;         // expected result
        std::string fileAfter;
        uint64_t    done, total;
        std::string body;
    };
    const Case cases[] = {
        { "206 appends and reads as 200", full, 0, false, 200, full, 1500, 1500, "" },
        { "200 despite the range restarts the file", full, 0, true, 200, full, 1500, 1500, "" },
        { "416 leaves the file alone", before, 0, false, 416, before, 0, 0, "" },
        { "404 leaves the file alone and keeps the answer", full, 404, false, 404, before, 0, 0, "{\"error\": \"gone\"}" },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        std::string urlPath = UniqueUrlPath("file.bin");
        REQUIRE(ServeFile(urlPath, c.served));
        if (c.faultStatus || c.ignoreRange)
        {
            ServerFault fault;
            fault.status = c.faultStatus;
            fault.body = c.body;
            fault.ignoreRange = c.ignoreRange;
            REQUIRE(SetFault(urlPath, fault));
        }
        std::string file = MakeTempDir("http-modes") + "\\file.bin";
        WriteFileBytes(file, c.ignoreRange ? std::string(1000, 'x') : before);
        std::atomic<uint64_t> done{77}, total{77};
        HttpResult r = Download(Url(urlPath), file, 1000, &done, &total);
        CHECK(r.error.empty());
        CHECK(r.status == c.status);
        CHECK(r.body == c.body);
        CHECK(ReadFileBytes(file) == c.fileAfter);
        CHECK(done.load() == c.done);
        CHECK(total.load() == c.total);
        std::vector<LoggedRequest> log = RequestLog(urlPath);
        REQUIRE(log.size() == 1);
        CHECK(log[0].range == "bytes=1000-");
        CHECK(log[0].authorization.empty());
    }
}

TEST_CASE("HttpDownload resumes from the file's size and takes 416 as already complete")
{
    const std::string full = PatternBytes(0, 300000);
    std::string urlPath = UniqueUrlPath("archive.zip");
    REQUIRE(ServeFile(urlPath, full));
    std::string dir = MakeTempDir("http-resume");
    std::atomic<uint64_t> done{0}, total{0};

    SUBCASE("no file: one plain GET creates it")
    {
        HttpResult r = HttpDownload(Url(urlPath), "", dir + "\\new.bin", &done, &total, nullptr);
        CHECK(r.Ok());
        CHECK(ReadFileBytes(dir + "\\new.bin") == full);
        CHECK(RequestLog(urlPath).at(0).range.empty());
    }
    SUBCASE("an empty file: no range, rewritten")
    {
        WriteFileBytes(dir + "\\f.bin", "");
        HttpResult r = HttpDownload(Url(urlPath), "", dir + "\\f.bin", &done, &total, nullptr);
        CHECK(r.Ok());
        CHECK(ReadFileBytes(dir + "\\f.bin") == full);
        CHECK(RequestLog(urlPath).at(0).range.empty());
    }
    SUBCASE("a partial file is completed")
    {
        WriteFileBytes(dir + "\\f.bin", full.substr(0, 123457));
        HttpResult r = HttpDownload(Url(urlPath), "", dir + "\\f.bin", &done, &total, nullptr);
        CHECK(r.Ok());
        CHECK(r.status == 200);
        CHECK(ReadFileBytes(dir + "\\f.bin") == full);
        CHECK(done.load() == full.size());
        CHECK(total.load() == full.size());
        CHECK(RequestLog(urlPath).at(0).range == "bytes=123457-");
    }
    SUBCASE("a complete file: 416 becomes success, file untouched")
    {
        WriteFileBytes(dir + "\\f.bin", full);
        HttpResult r = HttpDownload(Url(urlPath), "", dir + "\\f.bin", &done, &total, nullptr);
        CHECK(r.Ok());
        CHECK(r.status == 200);
        CHECK(ReadFileBytes(dir + "\\f.bin") == full);
        CHECK(done.load() == full.size());
        CHECK(total.load() == full.size());
        CHECK(RequestLog(urlPath).at(0).status == 416);
    }
    SUBCASE("a fresh download answered 416 stays a failure")
    {
        ServerFault fault;
        fault.status = 416;
        REQUIRE(SetFault(urlPath, fault));
        HttpResult r = HttpDownload(Url(urlPath), "", dir + "\\none.bin", &done, &total, nullptr);
        CHECK(r.status == 416);
        CHECK(r.ErrorMessage() == "The server answered 416.");
        CHECK_FALSE(PathExists(dir + "\\none.bin"));
    }
    SUBCASE("a folder at the path is a fresh download that fails cleanly, never a range")
    {
        std::filesystem::create_directories(std::filesystem::path(Utf8ToWide(dir + "\\folder.bin")));
        HttpResult r = HttpDownload(Url(urlPath), "", dir + "\\folder.bin", &done, &total, nullptr);
        CHECK(r.error == "Can't write " + dir + "\\folder.bin");
        CHECK(r.status == 200);
        CHECK(RequestLog(urlPath).at(0).range.empty());
    }
}

TEST_CASE("redirects: 308 is followed like 307, the Range goes along, and every chain ends")
{
    const std::string full = PatternBytes(0, 200000);
    const std::string kept = full.substr(0, 70000);
    const std::string server = TestServerUrl();                 // http://127.0.0.1:PORT
    const std::string otherHost = "http://localhost:" + server.substr(server.rfind(':') + 1);
    const char* kCantFollow =
        "The server's redirect can't be followed (too many, or from https to plain http) - please report this to Ostrel.";
    struct Hop
    {
        int         status;
        const char* to;     // the next path; "@" before it: on the other host name
    };
    struct Case
    {
        const char*      name;
        std::vector<Hop> hops;      // from the first path on
        bool             arrives;   // the file is served at the end of the chain
    };
    const Case cases[] = {
        {"308 to the same host", {{308, "/b"}}, true},
        {"308 to another host", {{308, "@/b"}}, true},
        {"307, which the platform follows itself", {{307, "/b"}}, true},
        {"308 then 302 then 308", {{308, "/b"}, {302, "@/c"}, {308, "/d"}}, true},
        {"308 to itself", {{308, "/a"}}, false},
        {"308 to an address that cannot be used", {{308, "ftp://127.0.0.1/x"}}, false},
    };
    for (const Case& c : cases)
    {
        const std::string name = c.name;
        CAPTURE(name);
        const std::string base = UniqueUrlPath("redirect");
        std::string path = base + "/a";
        for (const Hop& hop : c.hops)
        {
            ServerFault fault;
            fault.status = hop.status;
            const bool other = hop.to[0] == '@';
            const std::string next = other ? hop.to + 1 : hop.to;
            fault.location = next.find("://") != std::string::npos ? next
                             : other                                ? otherHost + base + next
                                                                    : base + next;   // relative
            REQUIRE(SetFault(path, fault));
            path = next.find("://") != std::string::npos ? "" : base + next;
        }
        if (c.arrives)
            REQUIRE(ServeFile(path, full));
        const std::string file = MakeTempDir("http-redirect") + "\\f.bin";
        WriteFileBytes(file, kept);
        std::atomic<uint64_t> done{0}, total{0};
        HttpResult r = HttpDownload(Url(base + "/a"), "", file, &done, &total, nullptr);
        std::vector<LoggedRequest> log = RequestLog(base);
        if (c.arrives)
        {
            CHECK(r.Ok());
            CHECK(ReadFileBytes(file) == full);
            CHECK(done.load() == full.size());
            REQUIRE(log.size() == c.hops.size() + 1);
            for (const LoggedRequest& e : log)
                CHECK(e.range == "bytes=70000-");
            CHECK(log.back().status == 206);
            if (c.hops.size() == 1 && c.hops[0].to[0] == '@')
                CHECK(log.back().host.rfind("localhost:", 0) == 0);
        }
        else
        {
            CHECK(r.error == kCantFollow);
            CHECK(r.ErrorMessage() == kCantFollow);
            CHECK(ReadFileBytes(file) == kept);
            // Not resumed by itself: following it again would end the same way.
            CHECK(log.size() == (c.hops[0].to[0] == 'f' ? 1u : 6u));
        }
    }
}

TEST_CASE("a body without Content-Length leaves bytesTotal at the declared upload total")
{
    std::string urlPath = UniqueUrlPath("nolength.bin");
    const std::string full = PatternBytes(0, 100000);
    REQUIRE(ServeFile(urlPath, full));
    ServerFault fault;
    fault.noLength = true;
    REQUIRE(SetFault(urlPath, fault));
    std::string file = MakeTempDir("http-nolength") + "\\f.bin";
    std::atomic<uint64_t> done{5}, total{5};
    HttpResult r = Download(Url(urlPath), file, 0, &done, &total);
    CHECK(r.Ok());
    CHECK(total.load() == 0);
    CHECK(done.load() == full.size());
    CHECK(ReadFileBytes(file) == full);
}

TEST_CASE("cancel ends a download between chunks and keeps what was written")
{
    std::string urlPath = UniqueUrlPath("slow.bin");
    const std::string full = PatternBytes(0, 4 << 20);
    REQUIRE(ServeFile(urlPath, full));
    ServerFault fault;
    fault.slowMs = 40;
    fault.slowChunk = 65536;
    REQUIRE(SetFault(urlPath, fault));
    std::string file = MakeTempDir("http-cancel") + "\\f.bin";
    std::atomic<uint64_t> done{0}, total{0};
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        for (int i = 0; i < 1000 && done.load() < 100000; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        cancel.store(true);
    });
    HttpResult r = Download(Url(urlPath), file, 0, &done, &total, &cancel);
    canceller.join();
    CHECK(r.error == "cancelled");
    CHECK(r.status == 200);
    CHECK(total.load() == full.size());
    std::string kept = ReadFileBytes(file);
    CHECK(kept.size() == done.load());
    CHECK(kept.size() >= 100000);
    CHECK(kept.size() < full.size());
    CHECK(kept == full.substr(0, kept.size()));

    // The next attempt picks up where this one stopped.
    REQUIRE(ClearFault(urlPath));
    HttpResult again = HttpDownload(Url(urlPath), "", file, &done, &total, nullptr);
    CHECK(again.Ok());
    CHECK(ReadFileBytes(file) == full);
    CHECK(RequestLog(urlPath).back().range == "bytes=" + std::to_string(kept.size()) + "-");
}

TEST_CASE("a slow connection is neither a stall nor a still bar")
{
    // About 20 KB/s: far slower than one big read fills, far faster than the
    // stall limit; reads must size themselves to what arrives.
    std::string urlPath = UniqueUrlPath("trickle.bin");
    const std::string full = PatternBytes(0, 48000);
    REQUIRE(ServeFile(urlPath, full));
    ServerFault fault;
    fault.slowMs = 100;
    fault.slowChunk = 2000;
    REQUIRE(SetFault(urlPath, fault));
    std::string file = MakeTempDir("http-trickle") + "\\f.bin";
    DownloadTarget target;
    target.path = file;
    target.stallMs = 1000;
    std::atomic<uint64_t> done{0}, total{0};
    std::atomic<bool> finished{false};
    int moves = 0;
    std::thread watcher([&] {
        uint64_t last = 0;
        while (!finished.load())
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (done.load() != last)
            {
                last = done.load();
                moves++;
            }
        }
    });
    RequestDetail detail;
    HttpResult r = HttpRequestDetailed("GET", Url(urlPath), "", "", {}, &done, &total, &target, detail);
    finished.store(true);
    watcher.join();
    CHECK(r.Ok());
    CHECK_FALSE(detail.stalled);
    CHECK(ReadFileBytes(file) == full);
    // The bar moves several times a second, not once at the end.
    CHECK(moves >= 8);
}

TEST_CASE("a connection dropped mid-body")
{
    std::string urlPath = UniqueUrlPath("drop.bin");
    const std::string full = PatternBytes(0, 1 << 20);
    REQUIRE(ServeFile(urlPath, full));
    ServerFault fault;
    fault.dropAfter = 300000;
    fault.times = 1;

    SUBCASE("in a download: resumed by itself from what was kept")
    {
        REQUIRE(SetFault(urlPath, fault));
        std::string file = MakeTempDir("http-drop") + "\\f.bin";
        HttpResult r = HttpDownload(Url(urlPath), "", file, nullptr, nullptr, nullptr);
        CHECK(r.Ok());
        CHECK(ReadFileBytes(file) == full);
        std::vector<LoggedRequest> log = RequestLog(urlPath);
        REQUIRE(log.size() == 2);
        CHECK(log[1].range == "bytes=300000-");
    }
    SUBCASE("one exchange on its own: the engine reports the short body")
    {
        REQUIRE(SetFault(urlPath, fault));
        std::string file = MakeTempDir("http-drop") + "\\f.bin";
        HttpResult r = Download(Url(urlPath), file, 0);
        CHECK(r.error == kCutShort);
        CHECK(ReadFileBytes(file) == full.substr(0, 300000));
    }
    SUBCASE("in memory: what arrived, silently")
    {
        REQUIRE(SetFault(urlPath, fault));
        HttpResult r = HttpGet(Url(urlPath), "");
        CHECK(r.error.empty());
        CHECK(r.status == 200);
        CHECK(r.body.size() <= 300000);
        CHECK(r.body == full.substr(0, r.body.size()));
    }
}

TEST_CASE("a memory body is cut once it passes 64 MiB, without an error")
{
    std::string urlPath = UniqueUrlPath("big.bin");
    const uint64_t size = 70ull << 20;
    REQUIRE(ServePattern(urlPath, size));
    HttpResult r = HttpGet(Url(urlPath), "");
    CHECK(r.error.empty());
    CHECK(r.status == 200);
    CHECK(r.body.size() > (64u << 20));
    CHECK(r.body.size() < size);
    CHECK(r.body.substr(r.body.size() - 1000) == PatternBytes(r.body.size() - 1000, 1000));
    REQUIRE(RemoveFile(urlPath));
}

TEST_CASE("addresses that cannot work")
{
    SUBCASE("unparsable: status 0, the address in the sentence, no traffic")
    {
        std::string prefix = UniqueUrlPath("bad");
        const std::string urls[] = {
            "http://" + std::string(300, 'a') + ".example" + prefix,
            "not an address",
            "ftp://127.0.0.1" + prefix,
            "",
        };
        for (const std::string& url : urls)
        {
            CAPTURE(url);
            HttpResult r = HttpGet(url, "");
            CHECK(r.status == 0);
            CHECK(r.error == "Bad server address: " + url);
        }
        CHECK(RequestLog(prefix).empty());
    }
    SUBCASE("a refused connection")
    {
        std::string file = MakeTempDir("http-refused") + "\\f.bin";
        std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x";
        HttpResult r = HttpGet(url, "");
        CHECK(r.status == 0);
        CHECK(r.error == kCantReach);
        CHECK(r.ErrorMessage() == kCantReach);
        HttpResult d = HttpDownload(url, "", file, nullptr, nullptr, nullptr);
        CHECK(d.error == kCantReach);
        CHECK_FALSE(PathExists(file));
    }
}

TEST_CASE("an HTTP error in memory keeps the server's answer")
{
    std::string urlPath = UniqueUrlPath("install");
    ServerFault fault;
    fault.status = 503;
    fault.body = "{\"error\": \"Down for maintenance.\"}";
    REQUIRE(SetFault(urlPath, fault));
    HttpResult r = HttpGet(Url(urlPath) + "?channel=beta", "");
    CHECK(r.error.empty());
    CHECK(r.status == 503);
    CHECK(r.body == fault.body);
    CHECK(r.ErrorMessage() == "Down for maintenance.");
    std::vector<LoggedRequest> log = RequestLog(urlPath);
    REQUIRE(log.size() == 1);
    CHECK(log[0].path == urlPath + "?channel=beta");     // the query travels with the path
    CHECK(log[0].method == "GET");
}

TEST_CASE("uploads: headers, memory and file parts, counters")
{
    std::string urlPath = UniqueUrlPath("upload");
    std::string dir = MakeTempDir("http-upload");
    std::string memory = PatternBytes(7, 600000);          // more than two chunks
    std::string fromFile = PatternBytes(3, 300001);
    WriteFileBytes(dir + "\\part.bin", fromFile);
    std::vector<BodyPart> parts(2);
    parts[0].data = memory;
    parts[0].size = memory.size();
    parts[1].path = dir + "\\part.bin";
    parts[1].size = fromFile.size();
    std::atomic<uint64_t> done{0}, total{0};

    SUBCASE("both parts arrive in order with the bearer token and content type")
    {
        HttpResult r = HttpRequest("POST", Url(urlPath), "tok123", "application/octet-stream", parts, &done, &total,
                                   nullptr);
        CHECK(r.Ok());
        CHECK(r.body.find("\"size\": 900001") != std::string::npos);
        CHECK(done.load() == 900001);
        CHECK(total.load() == 900001);
        std::vector<LoggedRequest> log = RequestLog(urlPath);
        REQUIRE(log.size() == 1);
        CHECK(log[0].method == "POST");
        CHECK(log[0].authorization == "Bearer tok123");
        CHECK(log[0].contentType == "application/octet-stream");
        CHECK(log[0].bodySize == 900001);
    }
    SUBCASE("an upload file that cannot be read")
    {
        parts[1].path = dir + "\\missing.bin";
        HttpResult r = HttpRequest("POST", Url(urlPath), "", "", parts, &done, &total, nullptr);
        CHECK(r.status == 0);
        CHECK(r.error == "Can't read " + dir + "\\missing.bin");
    }
}

TEST_CASE("an untrusted certificate gives a certificate sentence, not a bare code")
{
    int port = TestServerHttpsPort();
    REQUIRE(port > 0);
    std::string urlPath = UniqueUrlPath("secure");
    REQUIRE(ServeFile(urlPath, "hello"));
    HttpResult r = HttpGet("https://127.0.0.1:" + std::to_string(port) + urlPath, "");
    CHECK(r.status == 0);
    bool certificateSentence =
        r.error.find("certificate") != std::string::npos || r.error.find("secure connection") != std::string::npos;
    CHECK(certificateSentence);
    CHECK(r.error.find("failed (") == std::string::npos);
    MESSAGE("untrusted certificate: " << r.error);
    // The plain listener on the same server answers the same path in clear.
    CHECK(HttpGet(Url(urlPath), "").body == "hello");
}

// Only inside tests/server/https-namespace, where the host names lead to the
// test server and its CA is trusted (ctest test http_https_namespace).
TEST_CASE("https under the real host name with the test CA in the trusted bundle" *
          doctest::skip(EnvVar("OSTREL_TEST_TRUSTED_HTTPS").empty()))
{
    std::string urlPath = UniqueUrlPath("tls.bin");
    const std::string full = PatternBytes(0, 200000);
    REQUIRE(ServeFile(urlPath, full));
    HttpResult r = HttpGet("https://cdn.ostrel.example" + urlPath, "");
    CHECK(r.error.empty());
    CHECK(r.status == 200);
    CHECK(r.body == full);

    // A resumed download over the same secure connection kind.
    std::string file = MakeTempDir("http-tls") + "\\f.bin";
    WriteFileBytes(file, full.substr(0, 5000));
    HttpResult d = HttpDownload("https://api.ostrel.example:443" + urlPath, "", file, nullptr, nullptr, nullptr);
    CHECK(d.Ok());
    CHECK(ReadFileBytes(file) == full);
    std::vector<LoggedRequest> log = RequestLog(urlPath);
    REQUIRE(log.size() == 2);
    CHECK(log[0].scheme == "https");
    CHECK(log[0].host == "cdn.ostrel.example");
    CHECK(log[1].range == "bytes=5000-");
}

TEST_CASE("redirects under the real host name: on to another https host, never down to plain http" *
          doctest::skip(EnvVar("OSTREL_TEST_TRUSTED_HTTPS").empty()))
{
    const std::string base = UniqueUrlPath("tls-redirect");
    const std::string full = PatternBytes(0, 100000);
    REQUIRE(ServeFile(base + "/file", full));
    ServerFault toApi;
    toApi.status = 308;
    toApi.location = "https://api.ostrel.example" + base + "/file";
    REQUIRE(SetFault(base + "/secure", toApi));
    std::string file = MakeTempDir("http-tls-redirect") + "\\f.bin";
    WriteFileBytes(file, full.substr(0, 1000));
    HttpResult r = HttpDownload("https://cdn.ostrel.example" + base + "/secure", "", file, nullptr, nullptr, nullptr);
    CHECK(r.Ok());
    CHECK(ReadFileBytes(file) == full);
    std::vector<LoggedRequest> log = RequestLog(base);
    REQUIRE(log.size() == 2);
    CHECK(log[1].host == "api.ostrel.example");
    CHECK(log[1].range == "bytes=1000-");

    for (int status : {308, 301})
    {
        CAPTURE(status);
        ServerFault down;
        down.status = status;
        down.location = "http://cdn.ostrel.example" + base + "/file";
        REQUIRE(SetFault(base + "/down", down));
        HttpResult d = HttpGet("https://cdn.ostrel.example" + base + "/down", "");
        CHECK(d.ErrorMessage() ==
              "The server's redirect can't be followed (too many, or from https to plain http) - please report this to Ostrel.");
    }
    for (const LoggedRequest& e : RequestLog(base))
        CHECK(e.scheme == "https");
}
