#include <doctest.h>

#include "package/sha256.h"
#include "test_support.h"

#include <string>

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
