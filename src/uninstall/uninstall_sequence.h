// Pieces of the uninstall that are worth testing on their own.
#pragma once
#include <string>

// The parameters handed to cmd.exe to delete the setup copy `setupCopy` and
// then the install folder `folder` (only when empty) once this program has
// exited, tried again for about 30 seconds. Empty when either path holds a
// character that cmd could expand or treat as syntax, or is too long for
// cmd's command line: the copy is then left in place.
std::wstring SelfRemovalParameters(const std::wstring& setupCopy, const std::wstring& folder);

class InstallerApp;

// The game step: removes `gameDir` file by file, counting in the job block,
// when it is our game folder directly in `installDir`; otherwise only says it
// was skipped. "" when the uninstall may go on, else the failure sentence.
std::string RemoveGameFolder(InstallerApp& app, const std::string& installDir, const std::string& gameDir);
