#include "net/http.h"
#include "net/http_engine.h"

#include "net/error_texts.h"
#include "net/proxy.h"
#include "version.h"
#include "util/atomic_file.h"
#include "util/handles.h"
#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>
#include <shlwapi.h>
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
const int      kMaxRedirects = 5;       // our own 308 hops, and WinHTTP's automatic ones

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

// Where an address leads, as WinHttpCrackUrl splits it.
struct Address
{
    std::wstring  host;
    INTERNET_PORT port = 0;
    bool          secure = false;
    std::wstring  path;     // the path followed by the query
};

bool ParseAddress(const std::string& url, Address& a)
{
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
        return false;
    a.host = host;
    a.port = uc.nPort;
    a.secure = uc.nScheme == INTERNET_SCHEME_HTTPS;
    a.path = std::wstring(path) + extra;
    return true;
}

// What the steps of one exchange share: its outcome so far, its handles and
// the notifications of its request.
struct Call
{
    HttpResult&              result;
    RequestDetail&           detail;
    const std::atomic<bool>* cancel = nullptr;  // ends a wait for the answer or the body
    int                      stallMs = 0;
    std::shared_ptr<Line>    line = std::make_shared<Line>();
    UniqueHandle<ExchangeTraits> exchange{new Exchange};
    DWORD                    code = 0;          // the platform error of the last failed wait

    Exchange& x() { return *exchange.get(); }
};

// A transport failure: the sentence for the step and the code for the caller.
void FailStep(Call& c, const char* step, DWORD code)
{
    c.detail.code = code;
    c.result.error = TransportErrorTextFor(step, code, c.x().secureFlags.load());
}

// The end of a wait that did not complete: cancel, stall or failure.
void Stopped(Call& c, OpEnd end, const char* step)
{
    if (end == Op_Cancelled)
    {
        c.detail.cancelled = true;
        c.result.error = "cancelled";
    }
    else if (end == Op_Stalled)
    {
        c.detail.stalled = true;
        FailStep(c, step, ERROR_WINHTTP_TIMEOUT);
    }
    else
    {
        FailStep(c, step, c.code);
    }
}

// The session, its proxy settled for this address: the user's settings where
// they name one (or none), else the platform's automatic discovery, which
// Windows before 8.1 lacks: there its default proxy.
HINTERNET OpenSession(const std::string& url, const Address& a)
{
    const ProxyChoice proxy = ChooseProxy(Utf8ToWide(url), a.host, a.port, a.secure);
    // Wine takes a proxy only here, not later through WINHTTP_OPTION_PROXY;
    // with a session per exchange both come to the same.
    if (proxy.route == ProxyRoute_Named)
        return WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.proxy.c_str(), WINHTTP_NO_PROXY_BYPASS,
                           WINHTTP_FLAG_ASYNC);
    if (proxy.route == ProxyRoute_Direct)
        return WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                           WINHTTP_FLAG_ASYNC);
    HINTERNET session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!session && GetLastError() == ERROR_INVALID_PARAMETER)
        session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    return session;
}

// Session, connection and request, in asynchronous mode so that every wait
// can also watch the cancel flag and the stall clock.
bool OpenRequest(Call& c, const std::string& url, const Address& a, const std::string& method)
{
    Line& line = *c.line;
    Exchange& x = c.x();
    line.session.reset(OpenSession(url, a));
    if (!line.session)
    {
        FailStep(c, "WinHttpOpen", GetLastError());
        return false;
    }
    WinHttpSetTimeouts(line.session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);

    line.connection.reset(WinHttpConnect(line.session.get(), a.host.c_str(), a.port, 0));
    if (!line.connection)
    {
        FailStep(c, "Connect", GetLastError());
        return false;
    }

    std::wstring wmethod = Utf8ToWide(method);
    x.completed.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    line.request.reset(WinHttpOpenRequest(line.connection.get(), wmethod.c_str(), a.path.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          a.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!line.request || !x.completed)
    {
        FailStep(c, "OpenRequest", GetLastError());
        return false;
    }
    DWORD_PTR context = (DWORD_PTR)&x;
    const DWORD notices = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE |
                          WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE | WINHTTP_CALLBACK_FLAG_HANDLES;
    if (!WinHttpSetOption(line.request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context)) ||
        WinHttpSetStatusCallback(line.request.get(), OnRequestStatus, notices, 0) == WINHTTP_INVALID_STATUS_CALLBACK)
    {
        FailStep(c, "OpenRequest", GetLastError());
        return false;
    }
    x.shares.fetch_add(1);  // the request handle's, given back by its closing notice
    // The platform's own redirects: a few, never from https to plain http
    // (its default, said once more). Failures leave the defaults.
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    DWORD hops = kMaxRedirects;
    WinHttpSetOption(line.request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
    WinHttpSetOption(line.request.get(), WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &hops, sizeof(hops));
    return true;
}

// Writes one block of the upload body; false with the failure set.
bool UploadBlock(Call& c, const char* data, DWORD size, std::atomic<uint64_t>* bytesDone)
{
    Exchange& x = c.x();
    HINTERNET request = c.line->request.get();
    if (Complete(x, [&] { return WinHttpWriteData(request, data, size, nullptr); }, nullptr, 0, c.code) != Op_Done ||
        x.count == 0)
    {
        FailStep(c, "Upload", c.code);
        return false;
    }
    if (bytesDone)
        bytesDone->fetch_add(x.count);
    return true;
}

// Uploads wait without cancel: WinHTTP reads the caller's memory until the write completes.
bool Upload(Call& c, const std::vector<BodyPart>& parts, std::atomic<uint64_t>* bytesDone)
{
    c.detail.step = RequestStep_Upload;
    std::vector<char> buffer;
    for (const BodyPart& part : parts)
    {
        if (part.path.empty())
        {
            for (size_t sent = 0; sent < part.data.size(); sent += c.x().count)
                if (!UploadBlock(c, part.data.data() + sent, (DWORD)std::min(kUploadChunk, part.data.size() - sent),
                                 bytesDone))
                    return false;
            continue;
        }
        UniqueFile in(CreateFileW(LongPath(Utf8ToWide(part.path)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!in)
        {
            c.result.error = "Can't read " + part.path;
            return false;
        }
        if (buffer.empty())
            buffer.assign(kUploadChunk, 0);
        DWORD got = 0;
        while (ReadFile(in.get(), buffer.data(), (DWORD)buffer.size(), &got, nullptr) && got > 0)
            if (!UploadBlock(c, buffer.data(), got, bytesDone))
                return false;
    }
    return true;
}

// Sends the request line, the headers and the upload body.
bool Send(Call& c, const std::wstring& headers, const std::vector<BodyPart>& parts, uint64_t declared,
          std::atomic<uint64_t>* bytesDone)
{
    c.detail.step = RequestStep_Send;
    Exchange& x = c.x();
    HINTERNET request = c.line->request.get();
    const DWORD_PTR context = (DWORD_PTR)&x;
    x.lastByteMs.store(NowMs());
    OpEnd end = Complete(
        x,
        [&] {
            return WinHttpSendRequest(request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                      headers.empty() ? 0 : (DWORD)-1, WINHTTP_NO_REQUEST_DATA, 0, (DWORD)declared,
                                      context);
        },
        c.cancel, c.stallMs, c.code);
    if (end != Op_Done)
    {
        Stopped(c, end, "Send");
        return false;
    }
    return Upload(c, parts, bytesDone);
}

// Waits for the answer's headers and reads its status (0 when it has none).
bool ReceiveStatus(Call& c)
{
    c.detail.step = RequestStep_Receive;
    Exchange& x = c.x();
    HINTERNET request = c.line->request.get();
    x.lastByteMs.store(NowMs());
    OpEnd end = Complete(x, [&] { return WinHttpReceiveResponse(request, nullptr); }, c.cancel, c.stallMs, c.code);
    if (end != Op_Done)
    {
        Stopped(c, end, "Receive");
        return false;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    c.result.status = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        c.result.status = (int32_t)status;
    return true;
}

// The answers a request has given to its proxy's 407s so far.
struct ProxyAnswers
{
    bool logon = false;     // the user's own logon (Negotiate, NTLM)
    bool typed = false;     // what the person typed
};

// Sets the answer to a proxy's 407 for the next send: the user's own logon
// where a scheme carries one (the automatic logon policy), then what the
// person typed. False when nothing is left to try.
bool AnswerProxy(Call& c, const ProxySignIn* signIn, ProxyAnswers& tried)
{
    HINTERNET request = c.line->request.get();
    DWORD offered = 0, first = 0, target = 0;
    if (!WinHttpQueryAuthSchemes(request, &offered, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY)
        return false;
    const DWORD logon = offered & (WINHTTP_AUTH_SCHEME_NEGOTIATE | WINHTTP_AUTH_SCHEME_NTLM);
    if (logon && !tried.logon)
    {
        tried.logon = true;
        DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
        WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy));
        const DWORD scheme = (logon & WINHTTP_AUTH_SCHEME_NEGOTIATE) ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                                                                     : WINHTTP_AUTH_SCHEME_NTLM;
        if (WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr))
            return true;
    }
    if (!signIn || signIn->user.empty() || tried.typed)
        return false;
    tried.typed = true;
    // The strongest scheme offered that takes a typed name.
    const DWORD order[] = {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM, WINHTTP_AUTH_SCHEME_DIGEST,
                           WINHTTP_AUTH_SCHEME_BASIC};
    for (DWORD scheme : order)
        if (offered & scheme)
        {
            const std::wstring user = Utf8ToWide(signIn->user), password = Utf8ToWide(signIn->password);
            return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, user.c_str(), password.c_str(),
                                         nullptr);
        }
    return false;
}

// Where a 308 sends the request next, resolved against where it was sent.
bool RedirectTarget(HINTERNET request, const std::string& from, std::string& to)
{
    std::vector<wchar_t> location(2048);
    DWORD size = (DWORD)(location.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, location.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    wchar_t combined[2048 + 1024 + 256 + 16] = {};
    DWORD length = (DWORD)(sizeof(combined) / sizeof(combined[0]));
    if (UrlCombineW(Utf8ToWide(from).c_str(), location.data(), combined, &length, 0) != S_OK)
        return false;
    to = WideToUtf8(combined);
    return true;
}

// The answer's Content-Length; false when it has none or it is not a number.
bool ContentLength(HINTERNET request, uint64_t& length)
{
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    wchar_t* stop = nullptr;
    unsigned long long value = wcstoull(text, &stop, 10);
    if (stop == text || *stop != 0)
        return false;
    length = value;
    return true;
}

// Where the body goes: the target file (a download answered 200, or 206 to
// its Range) or memory.
struct Sink
{
    const DownloadTarget*  target = nullptr;    // null: memory
    UniqueFile             file;
    std::atomic<uint64_t>* bytesDone = nullptr;
    bool                   haveLength = false;
    uint64_t               announced = 0;       // the answer's Content-Length
};

// Opens the target file, appending after a 206, starting again after a 200,
// and sets the counters from what the answer announces.
bool OpenSink(Call& c, Sink& sink, bool resumed, std::atomic<uint64_t>* bytesTotal)
{
    const DownloadTarget& target = *sink.target;
    const uint64_t base = resumed ? target.resumeFrom : 0;
    sink.file.reset(CreateFileW(LongPath(Utf8ToWide(target.path)).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                resumed ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER zero = {};
    if (!sink.file || (resumed && !SetFilePointerEx(sink.file.get(), zero, nullptr, FILE_END)))
    {
        c.result.error = "Can't write " + target.path;
        return false;
    }
    if (!resumed && target.observer && target.observer->restart)
        target.observer->restart();
    sink.haveLength = ContentLength(c.line->request.get(), sink.announced);
    if (sink.haveLength && bytesTotal)
        bytesTotal->store(base + sink.announced);
    if (sink.bytesDone)
        sink.bytesDone->store(base);
    return true;
}

// Hands what the read buffer holds to the file (and the observer) or to memory.
bool Flush(Call& c, Sink& sink, size_t& fill)
{
    if (fill == 0)
        return true;
    const char* data = c.x().buffer.data();
    const DWORD n = (DWORD)fill;
    fill = 0;
    if (!sink.target)
    {
        c.result.body.append(data, n);
        return true;
    }
    if (WriteAll(sink.file.get(), data, n) != ERROR_SUCCESS)
        return false;
    if (sink.target->observer && sink.target->observer->write)
        sink.target->observer->write(data, n);
    c.detail.written += n;
    if (sink.bytesDone)
        sink.bytesDone->fetch_add(n);
    return true;
}

// One read into the buffer at `fill`; the count is in the exchange.
OpEnd ReadSome(Call& c, Sink& sink, ReaderThread& reader, size_t fill, DWORD& readSize)
{
    Exchange& x = c.x();
    if (!sink.target)
    {
        // Small answers in memory, without cancel: only what has arrived.
        HINTERNET request = c.line->request.get();
        OpEnd end = Complete(x, [&] { return WinHttpQueryDataAvailable(request, nullptr); }, nullptr, 0, c.code);
        if (end != Op_Done || x.count == 0)
            return end;
        const DWORD want = (DWORD)std::min<size_t>(x.count, x.buffer.size() - fill);
        return Complete(x, [&] { return WinHttpReadData(request, x.buffer.data() + fill, want, nullptr); }, nullptr,
                        0, c.code);
    }
    const DWORD want = (DWORD)std::min<size_t>(readSize, x.buffer.size() - fill);
    const int64_t startMs = NowMs();
    OpEnd end = Complete(x, [&] { return reader.Read(&x, c.line, x.buffer.data() + fill, want); }, c.cancel,
                         c.stallMs, c.code);
    // A read completes only once it is full (or the body ends): on a slow
    // line it must stay small, or the bar would stand still.
    const int64_t tookMs = NowMs() - startMs;
    if (end == Op_Done && x.count == want && tookMs < kFlushMs / 4)
        readSize = (DWORD)std::min<size_t>((size_t)readSize * 2, x.buffer.size());
    else if (end == Op_Done && tookMs > kFlushMs / 2)
        readSize = std::max(readSize / 2, kSmallestRead);
    return end;
}

// Reads the body to its end, a failure, a cancel or the memory cap. Reads
// gather into the one buffer, which goes out in large blocks.
void ReadBody(Call& c, Sink& sink)
{
    c.detail.step = RequestStep_Body;
    Exchange& x = c.x();
    x.buffer.assign(kReadBuffer, 0);
    size_t fill = 0;
    int64_t lastFlushMs = NowMs();
    bool wrote = true;
    ReaderThread reader;
    DWORD readSize = kFirstRead;
    for (;;)
    {
        if (sink.target && c.cancel && c.cancel->load())
        {
            c.detail.cancelled = true;
            c.result.error = "cancelled";
            break;
        }
        x.lastByteMs.store(NowMs());
        OpEnd end = ReadSome(c, sink, reader, fill, readSize);
        if (end != Op_Done)
        {
            // A failed read in memory mode just ends the body.
            if (sink.target)
                Stopped(c, end, "Download");
            break;
        }
        if (x.count == 0)
            break;
        fill += x.count;
        if (fill == x.buffer.size() || NowMs() - lastFlushMs >= kFlushMs)
        {
            lastFlushMs = NowMs();
            if (!(wrote = Flush(c, sink, fill)))
                break;
            if (!sink.target && c.result.body.size() > kMemoryCap)
                break;
        }
    }
    // What arrived before the end, a failure or a cancel belongs in the file.
    if (wrote)
        wrote = Flush(c, sink, fill);
    if (!wrote)
        c.result.error = kDiskFull;
    if (sink.target && c.result.error.empty() && sink.haveLength && c.detail.written < sink.announced)
    {
        c.detail.cutShort = true;
        c.result.error = kCutShort;
    }
}

// Opens, sends and waits for the status until an answer other than a 308 or
// a proxy's 407 arrives (or the 407 cannot be answered). A 308 is followed
// like a 307: with the same headers (a Range among them) and body, to the
// same or another host, a few hops at most and never from https to plain http.
bool Reach(Call& c, const std::string& method, std::string url, Address address, const std::wstring& headers,
           const std::vector<BodyPart>& parts, uint64_t declared, std::atomic<uint64_t>* bytesDone,
           const ProxySignIn* signIn)
{
    for (int hop = 0;; hop++)
    {
        c.result.status = 0;    // nothing of an earlier hop's answer stays
        if (!OpenRequest(c, url, address, method))
            return false;
        ProxyAnswers answers;
        do
        {
            if (!Send(c, headers, parts, declared, bytesDone) || !ReceiveStatus(c))
                return false;
        } while (c.result.status == 407 && AnswerProxy(c, signIn, answers));
        if (c.result.status == 407)
        {
            c.result.error = ProxySignInText(signIn && signIn->canAsk, answers.typed);
            return false;
        }
        if (c.result.status != 308)
            return true;
        std::string next;
        Address to;
        if (hop >= kMaxRedirects || !RedirectTarget(c.line->request.get(), url, next) ||
            !ParseAddress(next, to) || (address.secure && !to.secure))
        {
            FailStep(c, "Receive", ERROR_WINHTTP_REDIRECT_FAILED);
            return false;
        }
        url = next;
        address = to;
        // The next hop on a line of its own; this one closes behind it.
        c.line = std::make_shared<Line>();
        c.exchange.reset(new Exchange);
    }
}

std::wstring RequestHeaders(const std::string& token, const std::string& contentType, uint64_t resumeFrom)
{
    std::string headers;
    if (!token.empty())
        headers += "Authorization: Bearer " + token + "\r\n";
    if (!contentType.empty())
        headers += "Content-Type: " + contentType + "\r\n";
    if (resumeFrom > 0)
        headers += "Range: bytes=" + std::to_string(resumeFrom) + "-\r\n";
    return Utf8ToWide(headers);
}
} // namespace

HttpResult HttpRequest(const std::string& method, const std::string& url, const std::string& token,
                       const std::string& contentType, const std::vector<BodyPart>& parts,
                       std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                       const DownloadTarget* target, const ProxySignIn* signIn)
{
    RequestDetail detail;
    return HttpRequestDetailed(method, url, token, contentType, parts, bytesDone, bytesTotal, target, detail, signIn);
}

HttpResult HttpRequestDetailed(const std::string& method, const std::string& url, const std::string& token,
                               const std::string& contentType, const std::vector<BodyPart>& parts,
                               std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                               const DownloadTarget* target, RequestDetail& detail, const ProxySignIn* signIn)
{
    HttpResult result;
    detail = RequestDetail();

    Address address;
    if (!ParseAddress(url, address))
    {
        result.error = "Bad server address: " + url;
        return result;
    }
    // The declared length travels as 32 bits: refuse what would be cut.
    uint64_t declared = 0;
    for (const BodyPart& part : parts)
        declared += part.size;
    if (declared > 0xFFFFFFFFull)
    {
        result.error = "Too big to upload.";
        return result;
    }

    Call c{result, detail};
    c.cancel = target ? target->cancelFlag : nullptr;
    c.stallMs = target ? target->stallMs : 0;
    const uint64_t resumeFrom = target ? target->resumeFrom : 0;
    // An automatic resume keeps what the bar shows until the answer says more.
    if (!(target && target->keepCounters))
    {
        if (bytesTotal)
            bytesTotal->store(declared);
        if (bytesDone)
            bytesDone->store(0);
    }
    if (!Reach(c, method, url, address, RequestHeaders(token, contentType, resumeFrom), parts, declared, bytesDone,
               signIn))
        return result;

    const bool resumed = target && result.status == 206 && resumeFrom > 0;
    Sink sink;
    sink.bytesDone = bytesDone;
    if (target && (result.status == 200 || resumed))
    {
        sink.target = target;
        if (!OpenSink(c, sink, resumed, bytesTotal))
        {
            if (resumed)
                result.status = 200;
            return result;
        }
    }
    ReadBody(c, sink);
    if (resumed)
        result.status = 200;
    return result;
}
