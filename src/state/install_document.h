// The install document, the answer of "/api/launcher/v1/install": one reader
// for the Welcome page, the location page and the install sequence, so all
// three judge an answer, its digests and its sizes alike.
#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// Room kept free on top of what the files need while installing.
const uint64_t kSpaceMargin = 64ull * 1024 * 1024;

// What one document says to install.
struct InstallInfo
{
    bool        ok = false;
    std::string error;      // the user's sentence when not ok
    std::string launcherSha256;
    std::string gameSha256;
    std::string gameExe = "Playden.exe";
    uint64_t    launcherSize = 0;
    uint64_t    gameSize = 0;
    uint64_t    gameUnpackedSize = 0;
};

// Reads a document; never throws, whatever it holds. Without `needGame` the
// "game" member may be missing (a launcher-only install). ok needs each digest
// the install will use to be 64 characters long.
InstallInfo ReadInstallDocument(const std::string& body, bool needGame);
// The server check's rule: the Welcome page shows the game's figures, so the
// game is always needed.
InstallInfo ParseInstallInfo(const std::string& body);

// A missing member leaves `out` as it is and is fine; a member of another
// JSON type makes the answer unexpected (false).
bool ReadJsonString(const nlohmann::json& obj, const char* name, std::string& out);
// Whole numbers as they are, floating-point ones as their integer part;
// negative, non-finite or out-of-range values are unexpected, never wrapped.
bool ReadJsonSize(const nlohmann::json& obj, const char* name, uint64_t& out);

// Sizes come from the server: a sum must never wrap round into a small one.
uint64_t AddSaturated(uint64_t a, uint64_t b);
// Bytes the install needs while it runs, the margin included.
uint64_t SpaceNeeded(const InstallInfo& info, bool includeGame);
// Bytes downloaded by a whole install (launcher and game archive).
uint64_t DownloadSize(const InstallInfo& info);
