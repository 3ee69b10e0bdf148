#include "install/job.h"
#include "state/installer_app.h"

// Placeholder until the uninstall engine lands.
void RunUninstall(UninstallArgs& args) { args.app->FailUninstall("Not built yet."); }
