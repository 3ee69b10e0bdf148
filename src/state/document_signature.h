// The install document's signature. The publisher signs the exact bytes of the
// document offline (ECDSA P-256 over SHA-256) and serves the signature as a
// static file beside it, so that whoever takes over the server cannot make
// the setup download anything else.
//
//   address: the document's address + "/signature"
//   content: standard base64 (with padding) of the 64-byte r||s, two 32-byte
//            big-endian numbers, optionally followed by one LF or CR LF
#pragma once
#include "net/http.h"
#include "state/installed_layout.h"

#include <string>
#include <vector>


// What a refused document ends with. No signature file (a 4xx answer):
constexpr const char* kDocumentNotSigned =
    "The install information isn't signed by Ostrel - Setup stopped to protect this PC.";
// A signature file that is malformed, by a key not built in, or of other bytes:
constexpr const char* kDocumentBadSignature =
    "The install information doesn't match Ostrel's signature - Setup stopped to protect this PC.";
// This PC's cryptography could not be used at all:
constexpr const char* kSignatureUnchecked =
    "This PC couldn't check the install information's signature - Setup stopped to protect this PC.";
// Whether a sentence is one of the three above.
bool IsSignatureRefusal(const std::string& sentence);

// Standard base64 with padding, strictly: no line breaks, no other alphabet,
// unused bits zero. False on anything else.
bool DecodeBase64(const std::string& text, std::string& out);

// "" when `signatureFile` holds a signature of exactly `document` by one of
// `publicKeys` (each the base64 of a 65-byte uncompressed P-256 point, the
// form of OSTREL_SIGNING_KEYS); otherwise the sentence to refuse with.
std::string CheckDocumentSignature(const std::string& document, const std::string& signatureFile,
                                   const std::vector<std::string>& publicKeys);

// The install document from `serverUrl`, the one fetch the server check and
// the install make. With keys, its signature is fetched too and checked
// before anyone reads the body: a refused document comes back not Ok and
// without its body, its ErrorMessage the sentence. A network failure on the
// signature gives the network's sentence, as on the document. Without keys,
// exactly the document's answer. Both requests answer a proxy's sign-in
// with `signIn`.
HttpResult FetchInstallDocument(const std::string& serverUrl, const std::vector<std::string>& publicKeys,
                                const ProxySignIn* signIn = nullptr);
