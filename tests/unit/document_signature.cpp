// The signature check of the install document as a pure function of the
// document's bytes, the signature file's bytes and the keys, with keys made
// by BCrypt for this run: nothing here depends on the keys of a build.
#include <doctest.h>

#include "state/document_signature.h"
#include "test_support.h"

namespace
{
const std::string kDoc = "{\"launcher\": {\"sha256\": \"" + std::string(64, 'a') + "\", \"size\": 1000},\n"
                         " \"game\": {\"sha256\": \"" + std::string(64, 'b') + "\", \"size\": 2000}}\n";

std::string FlipBit(std::string s, size_t byte, int bit)
{
    s[byte] = (char)(s[byte] ^ (1 << bit));
    return s;
}
} // namespace

TEST_CASE("signed documents: accepted or refused with the right sentence")
{
    const TestSigningKey current = MakeTestSigningKey();
    const TestSigningKey next = MakeTestSigningKey();
    const TestSigningKey stranger = MakeTestSigningKey();
    const std::string good = TestSignature(current, kDoc);
    const std::string raw = TestSignatureBytes(current, kDoc);
    const std::string base = EncodeBase64(raw);
    const std::string newer = "{\"launcher\": {\"sha256\": \"" + std::string(64, 'c') + "\"}, \"game\": {}}";
    const std::string bad = kDocumentBadSignature;
    // r = 0 and s = 0 are never a signature.
    const std::string zeros = EncodeBase64(std::string(64, '\0'));

    struct Case
    {
        const char*              name;
        std::string              doc;
        std::string              signature;
        std::vector<std::string> keys;
        std::string              result;
    };
    const Case cases[] = {
        { "good", kDoc, good, { current.publicKey }, "" },
        { "good, without a line end", kDoc, base, { current.publicKey }, "" },
        { "good, with CR LF", kDoc, base + "\r\n", { current.publicKey }, "" },
        { "one bit of the document changed", FlipBit(kDoc, 40, 0), good, { current.publicKey }, bad },
        { "one byte more in the document", kDoc + " ", good, { current.publicKey }, bad },
        { "one bit of the signature changed", kDoc, EncodeBase64(FlipBit(raw, 63, 7)) + "\n", { current.publicKey }, bad },
        { "one bit of r changed", kDoc, EncodeBase64(FlipBit(raw, 0, 0)) + "\n", { current.publicKey }, bad },
        { "signed by another key", kDoc, TestSignature(stranger, kDoc), { current.publicKey }, bad },
        { "the second key of a rotation", kDoc, TestSignature(next, kDoc), { current.publicKey, next.publicKey }, "" },
        { "the first key of a rotation", kDoc, good, { current.publicKey, next.publicKey }, "" },
        { "a retired key", kDoc, good, { next.publicKey }, bad },
        { "an earlier document's signature replayed", newer, good, { current.publicKey }, bad },
        { "empty file", kDoc, "", { current.publicKey }, bad },
        { "only a line end", kDoc, "\n", { current.publicKey }, bad },
        { "63 bytes", kDoc, EncodeBase64(raw.substr(0, 63)) + "\n", { current.publicKey }, bad },
        { "65 bytes", kDoc, EncodeBase64(raw + "x") + "\n", { current.publicKey }, bad },
        { "the signature twice", kDoc, good + good, { current.publicKey }, bad },
        { "DER instead of raw", kDoc, EncodeBase64("\x30\x44\x02\x20" + raw.substr(0, 32) + "\x02\x20" + raw.substr(32)),
          { current.publicKey }, bad },
        { "not base64", kDoc, std::string(86, '!') + "==\n", { current.publicKey }, bad },
        { "url-safe alphabet", kDoc, std::string(86, '-') + "==", { current.publicKey }, bad },
        { "padding missing", kDoc, base.substr(0, 86) + "\n", { current.publicKey }, bad },
        { "two line ends", kDoc, base + "\n\n", { current.publicKey }, bad },
        { "a CR alone", kDoc, base + "\r", { current.publicKey }, bad },
        { "a leading space", kDoc, " " + base, { current.publicKey }, bad },
        { "a trailing space", kDoc, base + " \n", { current.publicKey }, bad },
        { "a NUL after it", kDoc, base + std::string(1, '\0'), { current.publicKey }, bad },
        { "wrapped in two lines", kDoc, base.substr(0, 44) + "\n" + base.substr(44) + "\n", { current.publicKey }, bad },
        { "r and s zero", kDoc, zeros + "\n", { current.publicKey }, bad },
        { "no keys at all", kDoc, good, {}, bad },
        { "a key that isn't one, then the right one", kDoc, good, { "not a key", current.publicKey }, "" },
        { "a key of the wrong length", kDoc, good, { EncodeBase64(std::string(64, 'k')) }, bad },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        CHECK(CheckDocumentSignature(c.doc, c.signature, c.keys) == c.result);
    }
}

TEST_CASE("strict base64")
{
    struct Case
    {
        const char* text;
        bool        ok;
        std::string bytes;
    };
    const Case cases[] = {
        { "", true, "" },
        { "TWFu", true, "Man" },
        { "TWE=", true, "Ma" },
        { "TQ==", true, "M" },
        { "+/+/", true, "\xfb\xff\xbf" },
        { "TQ=", false, "" },           // length not a multiple of 4
        { "TR==", false, "" },          // unused bits set: a second spelling of "M"
        { "TWF=", false, "" },
        { "T===", false, "" },
        { "====", false, "" },
        { "TQ==TWFu", false, "" },      // padding inside
        { "TW-u", false, "" },
        { "TW_u", false, "" },
        { "TW u", false, "" },
        { "TWFu\n", false, "" },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.text);
        std::string out = "left over";
        CHECK(DecodeBase64(c.text, out) == c.ok);
        if (c.ok)
            CHECK(out == c.bytes);
    }
}
