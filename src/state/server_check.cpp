#include "state/installer_app.h"

#include "install/log.h"
#include "net/http.h"
#include "state/document_signature.h"

void InstallerApp::FetchInfo()
{
    infoDone = false;
    info = InstallInfo();
    const ProxySignIn signIn = ProxySignInForRequests();
    // A check still running is dropped: its thread ends on its own, unread.
    try
    {
        infoJob = StartNetJob([server = serverUrl, keys = signingKeys, signIn]() {
            return FetchInstallDocument(server, keys, &signIn);
        });
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
        // Refused information may mean a server was broken into: worth a line
        // in the log even with someone at the screen (--auto logs every
        // failed check itself).
        if (!autoMode && IsSignatureRefusal(info.error))
            AppendLog(*this, "the server check stopped: " + info.error);
        return;
    }
    info = ParseInstallInfo(result.body);
}
