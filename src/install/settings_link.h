// The launcher's data folder and the game's link in its settings.json.
#pragma once
#include <string>

// `dataDir` when given, else %LOCALAPPDATA%\OstrelLauncher (or %TEMP%\...);
// created when missing.
std::string LauncherDataFolder(const std::string& dataDir);
// The same folder, without making it.
std::string LauncherDataFolderPath(const std::string& dataDir);
// Each write replaces settings.json in one step (the old file or the new one,
// never half of either). A settings.json that is there but cannot be read is
// never replaced: that is a failure, and Retry tries again.
// "" on success, else the user's sentence.
std::string LinkGameInLauncherSettings(const std::string& dataDir, const std::string& gameDir);
std::string UnlinkGameFromLauncherSettings(const std::string& dataDir, const std::string& gameDir);
// "" when the settings can be read (or there are none yet), else the sentence
// a link or unlink would fail with: checked before anything else is changed.
std::string CheckLauncherSettings(const std::string& dataDir);
void DeleteLauncherData(const std::string& dataDir);
