#include <doctest.h>

#include "package/sha256.h"
#include "test_server.h"
#include "test_support.h"

#include <string>
#include <vector>

TEST_CASE("digest of files around the block size")
{
    std::string dir = MakeTempDir("sha256");
    struct Case
    {
        const char* file;
        std::string bytes;
        const char* digest;
    };
    const Case cases[] = {
        {"empty.bin", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc.bin", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // Exactly one block: the following read delivers nothing and ends the loop.
        {"one-block.bin", std::string(1048576, 'a'), "9bc1b2a288b26af7257a36277ae3816a7d4f16e89c1e7e77d0a5c48bad62b360"},
        {"one-block-and-a-byte.bin", std::string(1048577, 'a'), "4a3f0c0c213adea174f9a3d4c13177315b588bdb2e9c1012d3d0bf0453ca0f6a"},
        {"three-blocks.bin", std::string(3 * 1048576, 'a'), "6f850bc94ae6f7de14297c01616c36d712d22864497b28a63b81d776b035e656"},
        // A name outside ASCII reaches the file through the wide path.
        {"\xC3\xBC" "ber \xE6\x96\x87.bin", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.file);
        std::string path = dir + "\\" + c.file;
        WriteFileBytes(path, c.bytes);
        CHECK(Sha256File(path) == c.digest);
    }
}

TEST_CASE("no digest when the file cannot be read")
{
    std::string dir = MakeTempDir("sha256-missing");
    CHECK(Sha256File(dir + "\\absent.bin") == "");
    CHECK(Sha256File(dir) == "");
    CHECK(Sha256File("") == "");
}

TEST_CASE("the digest streamed during a download equals the digest of the final file")
{
    const std::string full = PatternBytes(3, 3u << 20);
    const std::string half = full.substr(0, full.size() / 2);
    struct Case
    {
        const char*           name;
        std::string           before;       // what the file holds when the download starts
        bool                  hasFile;
        std::vector<uint64_t> dropAt;
        bool                  ignoreRange;
        int                   corrupt;
    };
    const Case cases[] = {
        {"fresh", "", false, {}, false, 0},
        {"resumed across runs", half, true, {}, false, 0},
        {"resumed automatically", "", false, {700000, 2500000}, false, 0},
        {"resumed across runs and automatically", half, true, {2000000}, false, 0},
        {"200 instead of 206 on a resume across runs", std::string(5000, 'x'), true, {}, true, 0},
        {"200 instead of 206 on an automatic resume", "", false, {1500000}, true, 0},
        {"416 on a complete file", full, true, {}, false, 0},
        {"corrupted once", "", false, {}, false, 1},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        std::string urlPath = UniqueUrlPath("digest.bin");
        REQUIRE(ServeFile(urlPath, full));
        ServerFault fault;
        fault.dropAt = c.dropAt;
        fault.ignoreRange = c.ignoreRange;
        fault.corrupt = c.corrupt;
        REQUIRE(SetFault(urlPath, fault));
        std::string file = MakeTempDir("digest-stream") + "\\archive.zip";
        if (c.hasFile)
            WriteFileBytes(file, c.before);

        DownloadPolicy quick;
        quick.firstPauseMs = 20;
        DigestStream digest;
        StartDigest(digest, file);
        DownloadObserver observer = DigestObserver(digest);
        HttpResult r = HttpDownload(TestServerUrl() + urlPath, "", file, nullptr, nullptr, nullptr, &observer, &quick);
        REQUIRE(r.Ok());
        std::string streamed = FinishDigest(digest);
        CHECK(streamed.size() == 64);
        CHECK(streamed == Sha256File(file));
        if (c.corrupt)
            CHECK(streamed != Sha256Of(full));
        else
            CHECK(streamed == Sha256Of(full));
        CHECK(RequestLog(urlPath).size() == c.dropAt.size() + 1);
    }
}

TEST_CASE("a digest stream that is given up ends its thread without a digest")
{
    std::string dir = MakeTempDir("digest-stop");
    WriteFileBytes(dir + "\\a.bin", std::string(5u << 20, 'a'));
    {
        DigestStream digest;
        StartDigest(digest, dir + "\\a.bin");
        DownloadObserver observer = DigestObserver(digest);
        observer.write("abc", 3);
    } // the destructor stops and joins the hash thread
    DigestStream missing;
    StartDigest(missing, dir + "\\none.bin");
    CHECK(FinishDigest(missing) == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}
