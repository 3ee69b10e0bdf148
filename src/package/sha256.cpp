#include "package/sha256.h"

#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <vector>

// mingw-w64's headers lack the predefined pseudo-handle.
#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

std::string Sha256File(const std::string& path)
{
    FILE* file = _wfopen(LongPath(Utf8ToWide(path)).c_str(), L"rb");
    if (!file)
        return std::string();
    // The stream's own buffer would only add a copy: every read asks for a whole block.
    setvbuf(file, nullptr, _IONBF, 0);

    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(BCRYPT_SHA256_ALG_HANDLE, &hash, nullptr, 0, nullptr, 0, 0) != 0)
    {
        fclose(file);
        return std::string();
    }

    const size_t kBlock = 1048576;
    std::vector<unsigned char> buffer(kBlock);
    bool ok = true;
    while (!ferror(file) && !feof(file))
    {
        size_t n = fread(buffer.data(), 1, kBlock, file);
        if (n > 0 && BCryptHashData(hash, buffer.data(), (ULONG)n, 0) != 0)
        {
            ok = false;
            break;
        }
    }

    unsigned char digest[32] = {};
    if (ok && BCryptFinishHash(hash, digest, sizeof(digest), 0) != 0)
        ok = false;

    BCryptDestroyHash(hash);
    buffer.clear();
    buffer.shrink_to_fit();
    fclose(file);

    if (!ok)
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (unsigned char b : digest)
    {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 15]);
    }
    return text;
}
