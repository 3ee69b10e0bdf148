// The installer's own short record in the launcher's data folder.
#pragma once
#include <string>

class InstallerApp;

// One line "YYYYmmdd-HHMMSS  message" appended to installer.log; failures are silent.
void AppendLog(const InstallerApp& app, const std::string& message);
