// What an installation records about itself, so that the uninstall removes
// exactly what was installed: values in the installer's registry key, and for
// a game unpacked into a folder that already held other files, the manifest
// "Ostrel.files" in the install folder.
#pragma once
#include "state/installed_layout.h"

#include <windows.h>

#include <string>
#include <vector>

struct InstallRecord
{
    std::string installDir;         // InstallDir
    std::string gameDir;            // GameDir; "" after a launcher-only install
    std::string gameExe;            // GameExe; "" after a launcher-only install
    bool        gameDirCreated = false; // GameDirCreated: the setup made the game folder and owns it whole
    // Both GameExe and GameDirCreated were found. Installs made before they
    // were recorded have neither, and are removed by the older rule.
    bool        complete = false;
    // Unfinished: an install into installDir is under way or was killed. What
    // it made is removed like a finished install; where its journal names a
    // game folder (state/install_journal.h), the game values are the journal's.
    bool        unfinished = false;
};

// The installer's own key: the test key when a data folder was given.
const wchar_t* InstallerRegKey(const std::string& dataDir);
InstallRecord ReadInstallRecord(const std::string& dataDir);
// "" when every value was written, else the user's sentence.
std::string WriteInstallRecord(const std::string& dataDir, const InstallRecord& record);
// Before an install into `installDir` writes anything there: marks the record
// unfinished, so that whatever the install makes from here on is recorded.
// An earlier record of the same folder keeps its game values (that game is
// still there); one of another folder loses them. "" or the user's sentence.
std::string BeginInstallRecord(const std::string& dataDir, const std::string& installDir);
// The last step of an install, once WriteInstallRecord holds everything: the
// journal goes, then the mark. Failures leave a record that still reads right.
void EndInstallRecord(const std::string& dataDir, const std::string& installDir);


// Paths relative to the install folder, one per line in UTF-8; folders end
// with a backslash. Folders are listed parents before their children.
struct Manifest
{
    std::vector<std::string> files;
    std::vector<std::string> folders;
};

// False when the install folder holds no manifest, or it cannot be read.
bool ReadManifest(const std::wstring& installDir, Manifest& manifest);
// Written atomically; ERROR_SUCCESS or the system's error code.
DWORD WriteManifest(const std::wstring& installDir, const Manifest& manifest);
// Adds what `more` lists and `manifest` does not.
void MergeManifest(Manifest& manifest, const Manifest& more);
