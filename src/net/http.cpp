#include "net/http.h"

// Placeholder until the request engine lands.
HttpResult HttpRequest(const std::string&, const std::string&, const std::string&, const std::string&,
                       const std::vector<BodyPart>&, std::atomic<uint64_t>*, std::atomic<uint64_t>*,
                       const DownloadTarget*)
{
    HttpResult r;
    r.error = "Not built yet.";
    return r;
}
