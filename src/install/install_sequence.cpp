#include "install/job.h"
#include "state/installer_app.h"

// Placeholder until the install engine lands.
void RunInstall(InstallArgs& args) { args.app->Fail("Not built yet."); }
