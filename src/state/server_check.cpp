#include "state/installer_app.h"

#include "state/install_document.h"

#include "net/http.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace
{
const char* kUnexpectedAnswer = "The server's answer wasn't what the installer expects.";
} // namespace

bool ReadJsonString(const nlohmann::json& obj, const char* name, std::string& out)
{
    auto it = obj.find(name);
    if (it == obj.end())
        return true;
    if (!it->is_string())
        return false;
    out = it->get<std::string>();
    return true;
}

bool ReadJsonSize(const nlohmann::json& obj, const char* name, uint64_t& out)
{
    auto it = obj.find(name);
    if (it == obj.end())
        return true;
    if (it->is_number_unsigned())
        out = it->get<uint64_t>();
    else if (it->is_number_integer())
    {
        if (it->get<int64_t>() < 0)
            return false;
        out = (uint64_t)it->get<int64_t>();
    }
    else if (it->is_number_float())
    {
        double d = it->get<double>();
        if (!std::isfinite(d) || d < 0.0 || d >= 18446744073709551616.0)
            return false;
        out = (uint64_t)d;
    }
    else
        return false;
    return true;
}

InstallInfo ParseInstallInfo(const std::string& body)
{
    InstallInfo info;
    nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (!doc.is_object() || !doc.contains("launcher") || !doc.contains("game"))
    {
        info.error = kUnexpectedAnswer;
        return info;
    }
    const nlohmann::json& launcher = doc["launcher"];
    const nlohmann::json& game = doc["game"];
    bool shapeOk = launcher.is_object() && game.is_object()
        && ReadJsonString(launcher, "sha256", info.launcherSha256)
        && ReadJsonSize(launcher, "size", info.launcherSize)
        && ReadJsonString(game, "sha256", info.gameSha256)
        && ReadJsonSize(game, "size", info.gameSize)
        && ReadJsonSize(game, "unpacked", info.gameUnpackedSize)
        && ReadJsonString(game, "folder", info.gameFolder)
        && ReadJsonString(game, "exe", info.gameExe);
    if (!shapeOk)
    {
        info = InstallInfo();
        info.error = kUnexpectedAnswer;
        return info;
    }
    if (info.launcherSha256.size() == 64 && info.gameSha256.size() == 64)
        info.ok = true;
    else
        info.error = "The server has no download ready yet.";
    return info;
}

void InstallerApp::FetchInfo()
{
    infoDone = false;
    info = InstallInfo();
    std::string url = serverUrl + "/api/launcher/v1/install";
    // A check still running is dropped: its thread ends on its own, unread.
    try
    {
        infoJob = StartNetJob([url]() { return HttpGet(url, std::string()); });
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
