#include "state/install_document.h"

#include <cmath>

namespace
{
const char* kUnexpectedAnswer = "The server's answer wasn't what the installer expects.";

InstallInfo Unexpected()
{
    InstallInfo info;
    info.error = kUnexpectedAnswer;
    return info;
}
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

InstallInfo ReadInstallDocument(const std::string& body, bool needGame)
{
    nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (!doc.is_object())
        return Unexpected();
    auto launcher = doc.find("launcher");
    if (launcher == doc.end() || !launcher->is_object())
        return Unexpected();
    InstallInfo info;
    if (!ReadJsonString(*launcher, "sha256", info.launcherSha256) || !ReadJsonSize(*launcher, "size", info.launcherSize))
        return Unexpected();
    if (!needGame)
    {
        info.ok = info.launcherSha256.size() == 64;
        if (!info.ok)
            info.error = "The server has no download ready yet.";
        return info;
    }
    auto game = doc.find("game");
    if (game == doc.end() || !game->is_object())
        return Unexpected();
    if (!ReadJsonString(*game, "sha256", info.gameSha256) || !ReadJsonSize(*game, "size", info.gameSize) ||
             !ReadJsonSize(*game, "unpacked", info.gameUnpackedSize) || !ReadJsonString(*game, "exe", info.gameExe))
        return Unexpected();
    if (info.launcherSha256.size() == 64 && info.gameSha256.size() == 64)
        info.ok = true;
    else
        info.error = "The server has no download ready yet.";
    return info;
}

InstallInfo ParseInstallInfo(const std::string& body)
{
    return ReadInstallDocument(body, true);
}

uint64_t AddSaturated(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

uint64_t SpaceNeeded(const InstallInfo& info, bool includeGame)
{
    // The launcher's size is not added when the game comes too.
    uint64_t needed = includeGame ? AddSaturated(info.gameSize, info.gameUnpackedSize) : info.launcherSize;
    return AddSaturated(needed, kSpaceMargin);
}

uint64_t DownloadSize(const InstallInfo& info)
{
    return AddSaturated(info.launcherSize, info.gameSize);
}
