// What an install run takes from its own fetch of the install document.
#pragma once
#include <cstdint>
#include <string>

struct InstallPlan
{
    std::string launcherSha256;
    uint64_t    launcherSize = 0;
    std::string gameSha256;
    uint64_t    gameSize = 0;
    uint64_t    gameUnpackedSize = 0;
    std::string gameExe = "Playden.exe";
};

// False for an answer the installer does not expect; never throws. Without
// the game, the "game" member is not needed.
bool ReadInstallPlan(const std::string& body, bool includeGame, InstallPlan& plan);
