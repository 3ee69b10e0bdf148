#include "net/http.h"
#include "net/http_engine.h"

#include "net/error_texts.h"
#include "version.h"
#include "util/atomic_file.h"
#include "util/handles.h"
#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <memory>
#include <mutex>
#include <thread>

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
const int      kResolveTimeoutMs = 15000;
const int      kConnectTimeoutMs = 15000;
const int      kSendTimeoutMs = 300000;
const int      kReceiveTimeoutMs = 300000;
const size_t   kUploadChunk = 262144;
const size_t   kReadBuffer = 1048576;   // one buffer per exchange, written out when full
const int64_t  kFlushMs = 100;          // ...or when it has held bytes this long (slow connections)
const DWORD    kFirstRead = 8192;       // reads start here and double while they fill at once...
const DWORD    kSmallestRead = 1024;    // ...and halve, down to this, while they keep the bar still
const size_t   kMemoryCap = 67108864;
const DWORD    kWaitSliceMs = 50;       // how often a wait looks at the cancel flag and the stall clock
const char*    kDiskFull = "Couldn't save the download - is the disk full?";
// Wine's WinHTTP ends a body cut short by the server like a complete one;
// without this the short file would only show up as a damaged download.
const char*    kCutShort = "The connection broke off before the download was complete - try again.";

struct InternetHandleTraits
{
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueHandle<InternetHandleTraits>;

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Where WinHTTP's notifications for one request meet the call that waits for
// them. The request handle holds a share until its closing notice, because a
// call that gives up on a read (cancel, stall) returns at once while WinHTTP
// may still finish that read into `buffer` later.
struct Exchange
{
    UniqueKernelHandle    completed;            // auto-reset; wakes a waiter that sleeps
    std::atomic<int>      shares{1};
    std::atomic<uint32_t> completions{0};       // counts every completion
    std::atomic<bool>     sleeping{false};      // a waiter sleeps on `completed`
    DWORD                 completion = 0;       // these three are written before `completions` moves
    DWORD                 count = 0;
    DWORD                 error = 0;
    std::atomic<uint32_t> secureFlags{0};
    std::atomic<int64_t>  lastByteMs{0};        // when bytes of the answer last arrived
    std::vector<char>     buffer;
};

void Release(Exchange* x)
{
    if (x->shares.fetch_sub(1) == 1)
        delete x;
}

struct ExchangeTraits
{
    using Handle = Exchange*;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { Release(h); }
};

void Signal(Exchange* x, DWORD status)
{
    x->completion = status;
    x->completions.fetch_add(1);
    // Most operations complete inside the call that started them: the event
    // (a trip to Wine's server each way) is only for a waiter that sleeps.
    if (x->sleeping.exchange(false))
        SetEvent(x->completed.get());
}

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length)
{
    Exchange* x = (Exchange*)context;
    if (!x)
        return;
    switch (status)
    {
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
        if (info && length >= 4)
            x->secureFlags.store(*(const uint32_t*)info);
        return;
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
        x->lastByteMs.store(NowMs());
        return;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        Release(x);
        return;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        x->count = length;
        break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
        x->count = info && length >= sizeof(DWORD) ? *(const DWORD*)info : 0;
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        x->error = info ? ((const WINHTTP_ASYNC_RESULT*)info)->dwError : ERROR_WINHTTP_INTERNAL_ERROR;
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        break;
    default:
        return;
    }
    Signal(x, status);
}

enum OpEnd
{
    Op_Done,
    Op_Failed,
    Op_Cancelled,
    Op_Stalled,
};

// Starts an operation (`start` returns what the WinHTTP call returned) and
// waits for its completion. A cancel or a stall ends the wait at once; the
// operation is then abandoned with the request handle.
template <typename Start>
OpEnd Complete(Exchange& x, Start start, const std::atomic<bool>* cancel, int stallMs, DWORD& code)
{
    const uint32_t before = x.completions.load();   // counted before the call, which may complete inside
    if (!start())
    {
        code = GetLastError();
        return Op_Failed;
    }
    while (x.completions.load() == before)
    {
        // Announce the sleep, then look again: either the callback sees the
        // flag and sets the event, or this sees its count (a stale event only
        // wakes a later wait once, which then looks again).
        x.sleeping.store(true);
        if (x.completions.load() != before)
            break;
        DWORD waited = WaitForSingleObject(x.completed.get(), kWaitSliceMs);
        if (x.completions.load() != before)
            break;
        if (cancel && cancel->load())
            return Op_Cancelled;
        if (stallMs > 0 && NowMs() - x.lastByteMs.load() > stallMs)
            return Op_Stalled;
        if (waited == WAIT_FAILED)
            Sleep(kWaitSliceMs);
    }
    if (x.completion == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
    {
        code = x.error;
        return Op_Failed;
    }
    return Op_Done;
}

// The session, connection and request of one exchange, closed in reverse
// order by whoever lets go last: the exchange, or a read it gave up on.
struct Line
{
    UniqueInternet session;
    UniqueInternet connection;
    UniqueInternet request;
};

// Under Wine, WinHttpReadData fills a read larger than what has arrived from
// the socket inside the call, even in asynchronous mode, where neither a
// cancel nor the stall clock could reach it. Big reads therefore start on a
// thread of their own and complete through the exchange like any operation.
// The thread holds the line and a share of the exchange, so a read that was
// given up returns into live memory and closes the handles after it. On
// Windows the call returns at once and the notice completes the read.
struct Reader
{
    std::mutex              lock;
    std::condition_variable wake;
    bool                    pending = false;    // a read waits to start
    bool                    stop = false;       // the exchange is over
    char*                   data = nullptr;
    DWORD                   want = 0;
};

void ReadForExchange(Exchange* x, std::shared_ptr<Line> line, std::shared_ptr<Reader> r)
{
    for (;;)
    {
        std::unique_lock<std::mutex> hold(r->lock);
        r->wake.wait(hold, [&] { return r->pending || r->stop; });
        if (r->stop)
            break;
        r->pending = false;
        char* data = r->data;
        const DWORD want = r->want;
        hold.unlock();
        if (!WinHttpReadData(line->request.get(), data, want, nullptr))
        {
            x->error = GetLastError();
            Signal(x, WINHTTP_CALLBACK_STATUS_REQUEST_ERROR);
        }
    }
    line.reset();
    Release(x);
}

// The reading thread of one exchange: started by the first read, told to
// end when the exchange ends.
struct ReaderThread
{
    std::shared_ptr<Reader> reader;

    bool Start(Exchange* x, const std::shared_ptr<Line>& line)
    {
        try
        {
            auto r = std::make_shared<Reader>();
            x->shares.fetch_add(1);     // the thread's, given back when it ends
            try
            {
                std::thread(ReadForExchange, x, line, r).detach();
            }
            catch (...)
            {
                Release(x);
                throw;
            }
            reader = std::move(r);
            return true;
        }
        catch (const std::exception&)
        {
            return false;
        }
    }
    BOOL Read(Exchange* x, const std::shared_ptr<Line>& line, char* data, DWORD want)
    {
        if (!reader && !Start(x, line))
        {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        std::lock_guard<std::mutex> hold(reader->lock);
        reader->pending = true;
        reader->data = data;
        reader->want = want;
        reader->wake.notify_one();
        return TRUE;
    }
    ~ReaderThread()
    {
        if (!reader)
            return;
        std::lock_guard<std::mutex> hold(reader->lock);
        reader->stop = true;
        reader->wake.notify_one();
    }
};
} // namespace

HttpResult HttpRequest(const std::string& method, const std::string& url, const std::string& token,
                       const std::string& contentType, const std::vector<BodyPart>& parts,
                       std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                       const DownloadTarget* target)
{
    RequestDetail detail;
    return HttpRequestDetailed(method, url, token, contentType, parts, bytesDone, bytesTotal, target, detail);
}

HttpResult HttpRequestDetailed(const std::string& method, const std::string& url, const std::string& token,
                               const std::string& contentType, const std::vector<BodyPart>& parts,
                               std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                               const DownloadTarget* target, RequestDetail& detail)
{
    HttpResult result;
    detail = RequestDetail();

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

    // A transport failure: the sentence for the step and the code for the caller.
    auto fail = [&](const char* step, DWORD code, uint32_t flags) {
        detail.code = code;
        result.error = TransportErrorTextFor(step, code, flags);
    };

    // Asynchronous mode, so that every wait below can also watch the cancel
    // flag and the stall clock; the handles close in reverse order of opening.
    auto line = std::make_shared<Line>();
    UniqueInternet& session = line->session;
    UniqueInternet& connection = line->connection;
    UniqueInternet& request = line->request;
    session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    if (!session)
    {
        fail("WinHttpOpen", GetLastError(), 0);
        return result;
    }
    WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);

    connection.reset(WinHttpConnect(session.get(), host, uc.nPort, 0));
    if (!connection)
    {
        fail("Connect", GetLastError(), 0);
        return result;
    }

    std::wstring wmethod = Utf8ToWide(method);
    UniqueHandle<ExchangeTraits> exchange(new Exchange);
    Exchange& x = *exchange.get();
    x.completed.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    request.reset(WinHttpOpenRequest(connection.get(), wmethod.c_str(), requestPath.c_str(), nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    if (!request || !x.completed)
    {
        fail("OpenRequest", GetLastError(), 0);
        return result;
    }
    DWORD_PTR context = (DWORD_PTR)&x;
    const DWORD notices = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE |
                          WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE | WINHTTP_CALLBACK_FLAG_HANDLES;
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context)) ||
        WinHttpSetStatusCallback(request.get(), OnRequestStatus, notices, 0) == WINHTTP_INVALID_STATUS_CALLBACK)
    {
        fail("OpenRequest", GetLastError(), 0);
        return result;
    }
    x.shares.fetch_add(1);  // the request handle's, given back by its closing notice

    std::string headers;
    if (!token.empty())
        headers += "Authorization: Bearer " + token + "\r\n";
    if (!contentType.empty())
        headers += "Content-Type: " + contentType + "\r\n";
    uint64_t resumeFrom = target ? target->resumeFrom : 0;
    if (resumeFrom > 0)
        headers += "Range: bytes=" + std::to_string(resumeFrom) + "-\r\n";
    std::wstring wheaders = Utf8ToWide(headers);

    // An automatic resume keeps what the bar shows until the answer says more.
    if (!(target && target->keepCounters))
    {
        if (bytesTotal)
            bytesTotal->store(declared);
        if (bytesDone)
            bytesDone->store(0);
    }

    const std::atomic<bool>* cancel = target ? target->cancelFlag : nullptr;
    const int stallMs = target ? target->stallMs : 0;
    const DownloadObserver* observer = target ? target->observer : nullptr;
    bool resumed = false;
    bool fileMode = false;
    bool haveLength = false;
    uint64_t announced = 0;
    UniqueFile file;
    DWORD code = 0;

    // The end of a wait that did not complete: cancel, stall or failure.
    auto stopped = [&](OpEnd end, const char* step) {
        if (end == Op_Cancelled)
        {
            detail.cancelled = true;
            result.error = "cancelled";
        }
        else if (end == Op_Stalled)
        {
            detail.stalled = true;
            fail(step, ERROR_WINHTTP_TIMEOUT, x.secureFlags.load());
        }
        else
        {
            fail(step, code, x.secureFlags.load());
        }
    };

    detail.step = RequestStep_Send;
    x.lastByteMs.store(NowMs());
    OpEnd end = Complete(
        x,
        [&] {
            return WinHttpSendRequest(request.get(),
                                      wheaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wheaders.c_str(),
                                      wheaders.empty() ? 0 : (DWORD)-1, WINHTTP_NO_REQUEST_DATA, 0, (DWORD)declared,
                                      context);
        },
        cancel, stallMs, code);
    if (end != Op_Done)
    {
        stopped(end, "Send");
        return result;
    }

    // Uploads wait without cancel: WinHTTP reads the caller's memory until the write completes.
    detail.step = RequestStep_Upload;
    std::vector<char> uploadBuffer;
    for (const BodyPart& part : parts)
    {
        if (part.path.empty())
        {
            size_t sent = 0;
            while (sent < part.data.size())
            {
                DWORD chunk = (DWORD)std::min(kUploadChunk, part.data.size() - sent);
                if (Complete(
                        x, [&] { return WinHttpWriteData(request.get(), part.data.data() + sent, chunk, nullptr); },
                        nullptr, 0, code) != Op_Done ||
                    x.count == 0)
                {
                    fail("Upload", code, x.secureFlags.load());
                    return result;
                }
                sent += x.count;
                if (bytesDone)
                    bytesDone->fetch_add(x.count);
            }
            continue;
        }
        UniqueFile in(CreateFileW(LongPath(Utf8ToWide(part.path)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!in)
        {
            result.error = "Can't read " + part.path;
            return result;
        }
        if (uploadBuffer.empty())
            uploadBuffer.assign(kUploadChunk, 0);
        for (;;)
        {
            DWORD got = 0;
            if (!ReadFile(in.get(), uploadBuffer.data(), (DWORD)uploadBuffer.size(), &got, nullptr) || got == 0)
                break;
            if (Complete(x, [&] { return WinHttpWriteData(request.get(), uploadBuffer.data(), got, nullptr); },
                         nullptr, 0, code) != Op_Done)
            {
                fail("Upload", code, x.secureFlags.load());
                return result;
            }
            if (bytesDone)
                bytesDone->fetch_add(x.count);
        }
    }

    detail.step = RequestStep_Receive;
    x.lastByteMs.store(NowMs());
    end = Complete(x, [&] { return WinHttpReceiveResponse(request.get(), nullptr); }, cancel, stallMs, code);
    if (end != Op_Done)
    {
        stopped(end, "Receive");
        return result;
    }

    {
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            result.status = (int32_t)status;
    }

    resumed = target && result.status == 206 && resumeFrom > 0;
    fileMode = target && (result.status == 200 || resumed);
    detail.step = RequestStep_Body;

    if (fileMode)
    {
        uint64_t base = resumed ? resumeFrom : 0;
        file.reset(CreateFileW(LongPath(Utf8ToWide(target->path)).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               resumed ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER zero = {};
        if (!file || (resumed && !SetFilePointerEx(file.get(), zero, nullptr, FILE_END)))
        {
            result.error = "Can't write " + target->path;
            if (resumed)
                result.status = 200;
            return result;
        }
        if (!resumed && observer && observer->restart)
            observer->restart();
        wchar_t length[32] = {};
        DWORD size = sizeof(length);
        if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length,
                                &size, WINHTTP_NO_HEADER_INDEX))
        {
            wchar_t* stop = nullptr;
            unsigned long long value = wcstoull(length, &stop, 10);
            if (stop != length && *stop == 0)
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

    // Reads gather into the one buffer, which goes to the file (and the
    // observer) in large blocks.
    x.buffer.assign(kReadBuffer, 0);
    size_t fill = 0;
    int64_t lastFlushMs = NowMs();
    auto flush = [&]() {
        if (fill == 0)
            return true;
        lastFlushMs = NowMs();
        const DWORD n = (DWORD)fill;
        fill = 0;
        if (!fileMode)
        {
            result.body.append(x.buffer.data(), n);
            return true;
        }
        if (WriteAll(file.get(), x.buffer.data(), n) != ERROR_SUCCESS)
            return false;
        if (observer && observer->write)
            observer->write(x.buffer.data(), n);
        detail.written += n;
        if (bytesDone)
            bytesDone->fetch_add(n);
        return true;
    };
    bool wrote = true;
    ReaderThread reader;
    DWORD readSize = kFirstRead;
    for (;;)
    {
        if (fileMode && cancel && cancel->load())
        {
            detail.cancelled = true;
            result.error = "cancelled";
            break;
        }
        x.lastByteMs.store(NowMs());
        if (fileMode)
        {
            const DWORD want = (DWORD)std::min<size_t>(readSize, x.buffer.size() - fill);
            const int64_t startMs = NowMs();
            end = Complete(x, [&] { return reader.Read(&x, line, x.buffer.data() + fill, want); }, cancel, stallMs,
                           code);
            // A read completes only once it is full (or the body ends): on a
            // slow line it must stay small, or the bar would stand still.
            const int64_t tookMs = NowMs() - startMs;
            if (end == Op_Done && x.count == want && tookMs < kFlushMs / 4)
                readSize = (DWORD)std::min<size_t>((size_t)readSize * 2, x.buffer.size());
            else if (end == Op_Done && tookMs > kFlushMs / 2)
                readSize = std::max(readSize / 2, kSmallestRead);
        }
        else
        {
            // Small answers in memory, without cancel: only what has arrived.
            end = Complete(x, [&] { return WinHttpQueryDataAvailable(request.get(), nullptr); }, nullptr, 0, code);
            if (end == Op_Done && x.count > 0)
            {
                const DWORD want = (DWORD)std::min<size_t>(x.count, x.buffer.size() - fill);
                end = Complete(
                    x, [&] { return WinHttpReadData(request.get(), x.buffer.data() + fill, want, nullptr); }, nullptr,
                    0, code);
            }
        }
        if (end != Op_Done)
        {
            // A failed read in memory mode just ends the body.
            if (fileMode)
                stopped(end, "Download");
            break;
        }
        const DWORD got = x.count;
        if (got == 0)
            break;
        fill += got;
        if (fill == x.buffer.size() || NowMs() - lastFlushMs >= kFlushMs)
        {
            if (!(wrote = flush()))
                break;
            if (!fileMode && result.body.size() > kMemoryCap)
                break;
        }
    }
    // What arrived before the end, a failure or a cancel belongs in the file.
    if (wrote)
        wrote = flush();
    if (!wrote)
        result.error = kDiskFull;
    if (fileMode && result.error.empty() && haveLength && detail.written < announced)
    {
        detail.cutShort = true;
        result.error = kCutShort;
    }
    if (resumed)
        result.status = 200;
    return result;
}
