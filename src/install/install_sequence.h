// Pieces of the install sequence worth testing on their own.
#pragma once
#include "state/install_record.h"

#include <string>

// Whether the records of an install into `installDir` read back at start-up.
// The longest of them is the game folder, at least installDir + "\Ostrel".
bool RecordFits(const std::string& installDir);

// How the uninstall is to remove the game an unpack put into `installDir`.
struct GameRecord
{
    bool     gameDirCreated = false;    // the game folder is removed whole
    Manifest manifest;                  // the rest, file by file; kept as Ostrel.files when not empty
};

// `made` is what the unpack created; `onlyMadeInside` that the game folder
// holds no file but those; `previous` and `previousManifest` what an earlier
// install into the same folder recorded (empty when none did). A game folder
// counts as created when this unpack made it, when it holds only what the
// unpack wrote (the leftovers of an interrupted run, say), or when the earlier
// install had made it; it is never the install folder itself.
GameRecord PlanGameRecord(const std::string& installDir, const std::string& gameDir, const Manifest& made,
                          bool onlyMadeInside, const InstallRecord& previous, const Manifest& previousManifest);
