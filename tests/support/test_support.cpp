#include "test_support.h"

#include "util/long_path.h"
#include "package/sha256.h"
#include "util/text.h"

#include <doctest.h>
#include <miniz.h>

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::string MakeTempDir(const std::string& name)
{
    static std::atomic<int> counter{0};
    fs::path p = fs::temp_directory_path() / L"ostrel-tests" /
        (Utf8ToWide(name) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++));
    // What an earlier run of the same process id left, however deep: the
    // library's remove_all gives up silently past 260 characters.
    RemoveTree(p.wstring());
    fs::create_directories(p);
    return WideToUtf8(p.wstring());
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    fs::path p(Utf8ToWide(path));
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream f(fs::path(Utf8ToWide(path)), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool PathExists(const std::string& path)
{
    std::error_code ec;
    return fs::exists(fs::path(Utf8ToWide(path)), ec);
}

std::string EnvVar(const char* name)
{
    wchar_t buf[4096];
    std::wstring wname = Utf8ToWide(name);
    DWORD n = GetEnvironmentVariableW(wname.c_str(), buf, 4096);
    if (n == 0 || n >= 4096)
        return std::string();
    return WideToUtf8(std::wstring(buf, n));
}

std::string MakeZip(const std::vector<ZipEntry>& entries)
{
    mz_zip_archive zip;
    mz_zip_zero_struct(&zip);
    REQUIRE(mz_zip_writer_init_heap(&zip, 0, 0));
    for (const ZipEntry& e : entries)
        REQUIRE(mz_zip_writer_add_mem_ex(&zip, e.name.c_str(), e.data.data(), e.data.size(), nullptr, 0,
                                         (mz_uint)e.level, 0, 0));
    void* buf = nullptr;
    size_t size = 0;
    REQUIRE(mz_zip_writer_finalize_heap_archive(&zip, &buf, &size));
    std::string bytes((const char*)buf, size);
    mz_free(buf);
    mz_zip_writer_end(&zip);
    return bytes;
}

std::string Sha256Of(const std::string& bytes)
{
    std::string path = MakeTempDir("sha") + "\\blob";
    WriteFileBytes(path, bytes);
    return Sha256File(path);
}

std::string EncodeBase64(const std::string& bytes)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3)
    {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t v = 0;
        for (size_t j = 0; j < 3; j++)
            v = v << 8 | (j < n ? (unsigned char)bytes[i + j] : 0u);
        for (size_t j = 0; j < 4; j++)
            out.push_back(j <= n ? kDigits[v >> (18 - 6 * j) & 63] : '=');
    }
    return out;
}

TestSigningKey MakeTestSigningKey()
{
    TestSigningKey made;
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    REQUIRE(BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0);
    REQUIRE(BCryptGenerateKeyPair(alg, &key, 256, 0) == 0);
    REQUIRE(BCryptFinalizeKeyPair(key, 0) == 0);
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96] = {};
    ULONG size = 0;
    REQUIRE(BCryptExportKey(key, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof(blob), &size, 0) == 0);
    made.privateBlob.assign((const char*)blob, size);
    // The public point is the private blob's X || Y after its header.
    std::string point(1, '\x04');
    point.append(made.privateBlob, sizeof(BCRYPT_ECCKEY_BLOB), 64);
    made.publicKey = EncodeBase64(point);
    BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(alg, 0);
    return made;
}

std::string TestSignatureBytes(const TestSigningKey& signer, const std::string& data)
{
    BCRYPT_ALG_HANDLE sha = nullptr, alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    unsigned char digest[32] = {};
    REQUIRE(BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0);
    REQUIRE(BCryptCreateHash(sha, &hash, nullptr, 0, nullptr, 0, 0) == 0);
    REQUIRE(BCryptHashData(hash, (PUCHAR)data.data(), (ULONG)data.size(), 0) == 0);
    REQUIRE(BCryptFinishHash(hash, digest, sizeof(digest), 0) == 0);
    REQUIRE(BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0);
    std::string blob = signer.privateBlob;
    REQUIRE(BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPRIVATE_BLOB, &key, (PUCHAR)blob.data(), (ULONG)blob.size(),
                                0) == 0);
    unsigned char signature[64] = {};
    ULONG size = 0;
    REQUIRE(BCryptSignHash(key, nullptr, digest, sizeof(digest), signature, sizeof(signature), &size, 0) == 0);
    REQUIRE(size == 64);
    BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(alg, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(sha, 0);
    return std::string((const char*)signature, size);
}

std::string TestSignature(const TestSigningKey& key, const std::string& data)
{
    return EncodeBase64(TestSignatureBytes(key, data)) + "\n";
}

void RemarkZipEntry(std::string& zip, const std::string& name, uint16_t method, uint16_t flags)
{
    for (const char* sig : {"PK\x03\x04", "PK\x01\x02"})
    {
        const bool central = sig[2] == '\x01';
        for (size_t at = zip.find(sig); at != std::string::npos; at = zip.find(sig, at + 1))
        {
            if (zip.compare(at + (central ? 46 : 30), name.size(), name) != 0)
                continue;
            const size_t f = at + (central ? 8 : 6);
            zip[f] = (char)((uint8_t)zip[f] | (flags & 0xFF));
            zip[f + 1] = (char)((uint8_t)zip[f + 1] | (flags >> 8));
            zip[f + 2] = (char)(method & 0xFF);
            zip[f + 3] = (char)(method >> 8);
        }
    }
}
