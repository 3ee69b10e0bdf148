// Moments of the install and the uninstall that the end-to-end tests kill the
// setup at. An instant between two steps (just before the staged game moves
// into place, say) is too short to hit from outside; with the environment
// variable OSTREL_TEST_PAUSE set to "moment=milliseconds[,...]" the setup
// waits there that long. Unset, as on every user's machine, it costs one
// look at the environment per moment.
#pragma once

void PauseForTest(const char* moment);
