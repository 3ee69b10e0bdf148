// Unpacking the game's zip archive into the install folder.
#pragma once
#include <string>
#include <vector>

struct InstallJob;

struct UnpackResult
{
    enum Outcome { Cancelled, Failed, Unpacked };
    Outcome     outcome = Failed;
    std::string error;      // the user's sentence when Failed
    std::string gameDir;    // full path of the game folder when Unpacked (UTF-8)
    // What the unpack made, relative to the install folder ("Ostrel\data\a.pak"),
    // also when it failed or was cancelled: every file it wrote (once, in
    // archive order; a file cut short by cancel too), and the folders that
    // did not exist before, parents before their children.
    std::vector<std::string> createdFiles;
    std::vector<std::string> createdFolders;
};

// True when an entry name may be written below the install folder.
bool IsSafeEntryName(const std::string& name);

// Runs on the calling thread and up to three more; returns when all of them
// are done.
UnpackResult UnpackGameArchive(const std::string& archivePath, const std::string& installDir,
                               const std::string& exeName, InstallJob& job);
