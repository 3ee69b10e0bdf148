// What an install that is under way is about to do, kept in the install
// folder ("Ostrel.journal", written atomically) from just before the staged
// game is moved into place until the install is recorded as done. With it a
// run killed at any instant leaves a state that the next install finishes and
// the uninstall removes: the install record says an install is unfinished,
// and the journal says where its game goes and whether the setup owns that
// folder whole.
#pragma once
#include <windows.h>

#include <string>

struct InstallJournal
{
    enum State { Placing, Placed };
    State       state = Placing;    // Placed: every file of the game is in place
    std::string sha256;             // of the archive being placed
    std::string gameDir;            // full path of the game folder
    std::string gameExe;
    bool        gameDirCreated = false;  // the setup owns the game folder whole
};

// False when the install folder holds no journal, or one that cannot be read.
bool ReadInstallJournal(const std::wstring& installDir, InstallJournal& journal);
// ERROR_SUCCESS or the system's error code; the old journal or the new one, never a mixture.
DWORD WriteInstallJournal(const std::wstring& installDir, const InstallJournal& journal);
