#include "state/document_signature.h"

#include "package/sha256.h"
#include "util/handles.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <cstring>

namespace
{
const size_t kSignatureBytes = 64;  // r || s
const size_t kPointBytes = 65;      // 0x04 || X || Y

struct AlgTraits
{
    using Handle = BCRYPT_ALG_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueAlg = UniqueHandle<AlgTraits>;

struct KeyTraits
{
    using Handle = BCRYPT_KEY_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { BCryptDestroyKey(h); }
};
using UniqueKey = UniqueHandle<KeyTraits>;

int Base64Digit(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Whether one key (in the configured form) signed the digest.
bool VerifiedBy(BCRYPT_ALG_HANDLE alg, const std::string& publicKey, unsigned char (&digest)[32],
                const std::string& signature)
{
    std::string point;
    if (!DecodeBase64(publicKey, point) || point.size() != kPointBytes || point[0] != 0x04)
        return false;
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + kPointBytes - 1] = {};
    BCRYPT_ECCKEY_BLOB header = {};
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = 32;
    memcpy(blob, &header, sizeof(header));
    memcpy(blob + sizeof(header), point.data() + 1, kPointBytes - 1);
    UniqueKey key;
    if (BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(), blob, sizeof(blob), 0) != 0)
        return false;
    return BCryptVerifySignature(key.get(), nullptr, digest, sizeof(digest), (PUCHAR)signature.data(),
                                 (ULONG)signature.size(), 0) == 0;
}
} // namespace

bool IsSignatureRefusal(const std::string& sentence)
{
    return sentence == kDocumentNotSigned || sentence == kDocumentBadSignature || sentence == kSignatureUnchecked;
}

bool DecodeBase64(const std::string& text, std::string& out)
{
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    size_t pad = 0;
    if (!text.empty() && text[text.size() - 1] == '=')
        pad = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    for (size_t i = 0; i < text.size(); i += 4)
    {
        const size_t digits = i + 4 == text.size() ? 4 - pad : 4;
        uint32_t v = 0;
        for (size_t j = 0; j < 4; j++)
        {
            int d = 0;
            if (j < digits && (d = Base64Digit(text[i + j])) < 0)
                return false;
            v = v << 6 | (uint32_t)d;
        }
        // One encoding per byte string: the bits the padding leaves over are zero.
        if ((digits == 2 && (v & 0xFFFF) != 0) || (digits == 3 && (v & 0xFF) != 0))
            return false;
        out.push_back((char)(v >> 16));
        if (digits > 2)
            out.push_back((char)(v >> 8 & 0xFF));
        if (digits > 3)
            out.push_back((char)(v & 0xFF));
    }
    return true;
}

std::string CheckDocumentSignature(const std::string& document, const std::string& signatureFile,
                                   const std::vector<std::string>& publicKeys)
{
    std::string text = signatureFile;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
        text.resize(text.size() - 2);
    else if (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::string signature;
    if (!DecodeBase64(text, signature) || signature.size() != kSignatureBytes)
        return kDocumentBadSignature;

    unsigned char digest[32] = {};
    UniqueAlg alg;
    if (!Sha256Bytes(document, digest) ||
        BCryptOpenAlgorithmProvider(alg.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0)
        return kSignatureUnchecked;
    for (const std::string& key : publicKeys)
    {
        if (VerifiedBy(alg.get(), key, digest, signature))
            return std::string();
    }
    return kDocumentBadSignature;
}

HttpResult FetchInstallDocument(const std::string& serverUrl, const std::vector<std::string>& publicKeys,
                                const ProxySignIn* signIn)
{
    const std::string url = serverUrl + kInstallDocumentPath;
    HttpResult doc = HttpGet(url, std::string(), signIn);
    if (!doc.Ok() || publicKeys.empty())
        return doc;

    HttpResult sig = HttpGet(url + kSignatureSuffix, std::string(), signIn);
    HttpResult refused;     // no status, no body: never Ok, whatever the sentence
    if (sig.Ok())
    {
        refused.error = CheckDocumentSignature(doc.body, sig.body, publicKeys);
        if (refused.error.empty())
            return doc;
    }
    else if (sig.error.empty() && sig.status >= 400 && sig.status <= 499)
        refused.error = kDocumentNotSigned;
    else
        refused.error = sig.ErrorMessage();     // the server or the way to it failed, as for the document
    return refused;
}
