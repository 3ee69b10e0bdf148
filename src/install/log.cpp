#include "install/log.h"

// Placeholder until the install engine lands.
void AppendLog(const InstallerApp&, const std::string&) {}
