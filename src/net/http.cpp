#include "net/http.h"

#include "net/error_texts.h"
#include "version.h"
#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>
#include <winhttp.h>

#include <cwchar>
#include <filesystem>
#include <fstream>

// Older mingw-w64 headers lack some of these.
#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif
#ifndef WINHTTP_CALLBACK_STATUS_SECURE_FAILURE
#define WINHTTP_CALLBACK_STATUS_SECURE_FAILURE 0x00010000
#endif
#ifndef WINHTTP_CALLBACK_FLAG_SECURE_FAILURE
#define WINHTTP_CALLBACK_FLAG_SECURE_FAILURE WINHTTP_CALLBACK_STATUS_SECURE_FAILURE
#endif

namespace
{
const wchar_t* kUserAgent = L"OstrelLauncher/" OSTREL_VERSION;
const size_t   kUploadChunk = 262144;
const size_t   kMemoryCap = 67108864;
const char*    kDiskFull = "Couldn't save the download - is the disk full?";
// Wine's WinHTTP ends a body cut short by the server like a complete one;
// without this the short file would only show up as a damaged download.
const char*    kCutShort = "The connection broke off before the download was complete - try again.";

// Copies the certificate and channel flags of a failed secure exchange into
// the flags word of the request it was registered for.
void CALLBACK SecureFailureCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length)
{
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context != 0 && info != nullptr && length >= 4)
        *(uint32_t*)context = *(const uint32_t*)info;
}
} // namespace

HttpResult HttpRequest(const std::string& method, const std::string& url, const std::string& token,
                       const std::string& contentType, const std::vector<BodyPart>& parts,
                       std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                       const DownloadTarget* target)
{
    HttpResult result;

    std::wstring wurl = Utf8ToWide(url);
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    wchar_t extra[1024] = {};
    URL_COMPONENTS uc = {};
    uc.dwStructSize = sizeof(uc);
    uc.lpszHostName = host;
    uc.dwHostNameLength = 256;
    uc.lpszUrlPath = path;
    uc.dwUrlPathLength = 2048;
    uc.lpszExtraInfo = extra;
    uc.dwExtraInfoLength = 1024;
    if (!WinHttpCrackUrl(wurl.c_str(), 0, 0, &uc))
    {
        result.error = "Bad server address: " + url;
        return result;
    }
    std::wstring requestPath = std::wstring(path) + extra;

    // The declared length travels as 32 bits: refuse what would be cut.
    uint64_t declared = 0;
    for (const BodyPart& part : parts)
        declared += part.size;
    if (declared > 0xFFFFFFFFull)
    {
        result.error = "Too big to upload.";
        return result;
    }

    HINTERNET session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
    {
        result.error = TransportErrorText("WinHttpOpen", 0);
        return result;
    }
    WinHttpSetTimeouts(session, 15000, 15000, 300000, 300000);

    HINTERNET connection = WinHttpConnect(session, host, uc.nPort, 0);
    if (!connection)
    {
        result.error = TransportErrorText("Connect", 0);
        WinHttpCloseHandle(session);
        return result;
    }

    std::wstring wmethod = Utf8ToWide(method);
    HINTERNET request = WinHttpOpenRequest(connection, wmethod.c_str(), requestPath.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (!request)
    {
        result.error = TransportErrorText("OpenRequest", 0);
        WinHttpCloseHandle(connection);
        WinHttpCloseHandle(session);
        return result;
    }

    // Everything below ends through the one exit at the bottom, which closes
    // the file and the three handles in reverse order of opening.
    uint32_t secureFlags = 0;
    WinHttpSetStatusCallback(request, SecureFailureCallback, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);

    std::string headers;
    if (!token.empty())
        headers += "Authorization: Bearer " + token + "\r\n";
    if (!contentType.empty())
        headers += "Content-Type: " + contentType + "\r\n";
    uint64_t resumeFrom = target ? target->resumeFrom : 0;
    if (resumeFrom > 0)
        headers += "Range: bytes=" + std::to_string(resumeFrom) + "-\r\n";
    std::wstring wheaders = Utf8ToWide(headers);

    if (bytesTotal)
        bytesTotal->store(declared);
    if (bytesDone)
        bytesDone->store(0);

    std::vector<char> uploadBuffer;
    std::vector<char> readBuffer;
    std::ofstream file;
    bool resumed = false;
    bool fileMode = false;
    bool haveLength = false;
    uint64_t announced = 0;
    uint64_t received = 0;

    if (!WinHttpSendRequest(request, wheaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wheaders.c_str(),
                            wheaders.empty() ? 0 : (DWORD)-1, WINHTTP_NO_REQUEST_DATA, 0, (DWORD)declared,
                            (DWORD_PTR)&secureFlags))
    {
        result.error = TransportErrorText("Send", secureFlags);
        goto done;
    }

    for (const BodyPart& part : parts)
    {
        if (part.path.empty())
        {
            size_t sent = 0;
            while (sent < part.data.size())
            {
                DWORD chunk = (DWORD)std::min(kUploadChunk, part.data.size() - sent);
                DWORD written = 0;
                if (!WinHttpWriteData(request, part.data.data() + sent, chunk, &written) || written == 0)
                {
                    result.error = TransportErrorText("Upload", secureFlags);
                    goto done;
                }
                sent += written;
                if (bytesDone)
                    bytesDone->fetch_add(written);
            }
            continue;
        }
        std::ifstream in(std::filesystem::path(LongPath(Utf8ToWide(part.path))), std::ios::binary);
        if (!in)
        {
            result.error = "Can't read " + part.path;
            goto done;
        }
        if (uploadBuffer.empty())
            uploadBuffer.assign(kUploadChunk, 0);
        for (;;)
        {
            in.read(uploadBuffer.data(), (std::streamsize)uploadBuffer.size());
            std::streamsize got = in.gcount();
            if (got <= 0)
                break;
            DWORD written = 0;
            if (!WinHttpWriteData(request, uploadBuffer.data(), (DWORD)got, &written))
            {
                result.error = TransportErrorText("Upload", secureFlags);
                goto done;
            }
            if (bytesDone)
                bytesDone->fetch_add(written);
            if (!in)
                break;
        }
    }

    if (!WinHttpReceiveResponse(request, nullptr))
    {
        result.error = TransportErrorText("Receive", secureFlags);
        goto done;
    }

    {
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            result.status = (int32_t)status;
    }

    resumed = target && result.status == 206 && resumeFrom > 0;
    fileMode = target && (result.status == 200 || resumed);

    if (fileMode)
    {
        uint64_t base = resumed ? resumeFrom : 0;
        file.open(std::filesystem::path(LongPath(Utf8ToWide(target->path))),
                  std::ios::binary | std::ios::out | (resumed ? std::ios::app : std::ios::trunc));
        if (!file)
        {
            result.error = "Can't write " + target->path;
            goto done;
        }
        if (!resumed && target->observer && target->observer->restart)
            target->observer->restart();
        wchar_t length[32] = {};
        DWORD size = sizeof(length);
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length, &size,
                                WINHTTP_NO_HEADER_INDEX))
        {
            wchar_t* end = nullptr;
            unsigned long long value = wcstoull(length, &end, 10);
            if (end != length && *end == 0)
            {
                haveLength = true;
                announced = value;
                if (bytesTotal)
                    bytesTotal->store(base + value);
            }
        }
        if (bytesDone)
            bytesDone->store(base);
    }

    for (;;)
    {
        if (fileMode && target->cancelFlag && target->cancelFlag->load())
        {
            result.error = "cancelled";
            break;
        }
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available))
        {
            if (fileMode)
                result.error = TransportErrorText("Download", secureFlags);
            break;
        }
        if (available == 0)
            break;
        readBuffer.assign(available, 0);
        DWORD got = 0;
        if (!WinHttpReadData(request, readBuffer.data(), available, &got))
        {
            if (fileMode)
                result.error = TransportErrorText("Download", secureFlags);
            break;
        }
        if (got == 0)
            break;
        if (fileMode)
        {
            file.write(readBuffer.data(), got);
            if (!file)
            {
                result.error = kDiskFull;
                break;
            }
            if (target->observer && target->observer->write)
                target->observer->write(readBuffer.data(), got);
            received += got;
            if (bytesDone)
                bytesDone->fetch_add(got);
        }
        else
        {
            result.body.append(readBuffer.data(), got);
            if (result.body.size() > kMemoryCap)
                break;
        }
    }
    if (fileMode && result.error.empty() && haveLength && received < announced)
        result.error = kCutShort;

done:
    if (resumed)
        result.status = 200;
    if (file.is_open())
    {
        file.close();
        // Buffered bytes that cannot reach the disk are as lost as a failed write.
        if (file.fail() && result.error.empty())
            result.error = kDiskFull;
    }
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return result;
}
