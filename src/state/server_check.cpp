#include "state/installer_app.h"

#include "net/http.h"

void InstallerApp::FetchInfo()
{
    infoDone = false;
    info = InstallInfo();
    std::string url = serverUrl + "/api/launcher/v1/install";
    const ProxySignIn signIn = ProxySignInForRequests();
    // A check still running is dropped: its thread ends on its own, unread.
    try
    {
        infoJob = StartNetJob([url, signIn]() { return HttpGet(url, std::string(), &signIn); });
    }
    catch (const std::exception&)
    {
        infoJob.reset();
        infoDone = true;
        info.error = "Couldn't start the server check - try again.";
    }
}

void InstallerApp::CollectInfo()
{
    if (!infoJob || !infoJob->done.load())
        return;
    HttpResult result = infoJob->result;
    infoJob.reset();
    infoDone = true;
    if (!result.Ok())
    {
        info.error = result.ErrorMessage();
        return;
    }
    info = ParseInstallInfo(result.body);
}
