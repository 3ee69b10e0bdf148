// What the download helper learns about one exchange beyond its HttpResult:
// where a failure happened and why, so that it can tell a broken connection
// (resumed by itself) from a refusal (reported at once).
#pragma once
#include "net/http.h"

#include <cstdint>

enum RequestStep : int
{
    RequestStep_Open = 0,   // parsing the address, opening session, connection, request
    RequestStep_Send,
    RequestStep_Upload,
    RequestStep_Receive,    // waiting for the answer's headers
    RequestStep_Body,
};

struct RequestDetail
{
    RequestStep step = RequestStep_Open;    // the last step reached
    uint32_t    code = 0;           // platform error of a transport failure; 0 for local ones
    bool        cancelled = false;
    bool        stalled = false;    // no byte within the target's stall limit
    bool        cutShort = false;   // the body ended before its announced length
    uint64_t    written = 0;        // body bytes written to the target by this exchange
};

HttpResult HttpRequestDetailed(const std::string& method, const std::string& url, const std::string& token,
                               const std::string& contentType, const std::vector<BodyPart>& parts,
                               std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                               const DownloadTarget* target, RequestDetail& detail,
                               const ProxySignIn* signIn = nullptr);
