// Unpacking the game's zip archive into the install folder.
#pragma once
#include <string>

struct InstallJob;

struct UnpackResult
{
    enum Outcome { Cancelled, Failed, Unpacked };
    Outcome     outcome = Failed;
    std::string error;      // the user's sentence when Failed
    std::string gameDir;    // full path of the game folder when Unpacked (UTF-8)
};

// True when an entry name may be written below the install folder.
bool IsSafeEntryName(const std::string& name);

UnpackResult UnpackGameArchive(const std::string& archivePath, const std::string& installDir,
                               const std::string& exeName, InstallJob& job);
