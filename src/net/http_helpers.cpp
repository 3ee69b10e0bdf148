#include "net/http.h"

#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>

HttpResult HttpGet(const std::string& url, const std::string& token)
{
    return HttpRequest("GET", url, token, std::string(), {}, nullptr, nullptr, nullptr);
}

HttpResult HttpDownload(const std::string& url, const std::string& token, const std::string& path,
                        std::atomic<uint64_t>* bytesDone, std::atomic<uint64_t>* bytesTotal,
                        const std::atomic<bool>* cancel, const DownloadObserver* observer)
{
    DownloadTarget target;
    target.path = path;
    target.cancelFlag = cancel;
    target.observer = observer;

    // Resume from what an earlier attempt left. Only a regular file counts:
    // anything else at the path (a folder, say) is a fresh download, which then
    // fails cleanly when the file cannot be opened.
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExW(LongPath(Utf8ToWide(path)).c_str(), GetFileExInfoStandard, &data) &&
        !(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        target.resumeFrom = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;

    HttpResult result = HttpRequest("GET", url, token, std::string(), {}, bytesDone, bytesTotal, &target);

    // 416 on a resume: the file on disk is the whole download; the caller's
    // digest check decides whether it really is.
    if (result.error.empty() && result.status == 416 && target.resumeFrom > 0)
    {
        result.status = 200;
        if (bytesTotal)
            bytesTotal->store(target.resumeFrom);
        if (bytesDone)
            bytesDone->store(target.resumeFrom);
    }
    return result;
}
