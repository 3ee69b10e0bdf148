// Helpers shared by the test programs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A fresh, empty folder under the system's temporary folder (UTF-8 path).
std::string MakeTempDir(const std::string& name);
// Writes bytes to a file (UTF-8 path), creating parent folders.
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
// Environment variable as UTF-8; empty when unset.
std::string EnvVar(const char* name);

// An in-memory zip archive; level 0 stores an entry's bytes as they are.
struct ZipEntry
{
    std::string name;
    std::string data;
    int         level = 6;
};
std::string MakeZip(const std::vector<ZipEntry>& entries);
// Sets an entry's method and adds to its flags, in its local header and in
// its central directory record alike (the entry found by its name): how
// archives of other tools are made from one of MakeZip's.
void RemarkZipEntry(std::string& zip, const std::string& name, uint16_t method, uint16_t flags);
// SHA-256 of bytes, through a scratch file and the setup's own hashing.
std::string Sha256Of(const std::string& bytes);

// A P-256 key pair made by BCrypt for one test: the public key in the form of
// OSTREL_SIGNING_KEYS, and signature files in the form tools/publish writes.
struct TestSigningKey
{
    std::string publicKey;      // base64 of 0x04 || X || Y
    std::string privateBlob;    // BCRYPT_ECCPRIVATE_BLOB
};
TestSigningKey MakeTestSigningKey();
// The raw 64-byte r || s of `data`'s SHA-256.
std::string TestSignatureBytes(const TestSigningKey& key, const std::string& data);
// Base64 of TestSignatureBytes and a line end.
std::string TestSignature(const TestSigningKey& key, const std::string& data);
std::string EncodeBase64(const std::string& bytes);
