// The launcher's data folder and the game's link in its settings.json.
#pragma once
#include <string>

// `dataDir` when given, else %LOCALAPPDATA%\OstrelLauncher (or %TEMP%\...);
// created when missing.
std::string LauncherDataFolder(const std::string& dataDir);
// "" on success, else the user's sentence.
std::string LinkGameInLauncherSettings(const std::string& dataDir, const std::string& gameDir);
void UnlinkGameFromLauncherSettings(const std::string& dataDir, const std::string& gameDir);
void DeleteLauncherData(const std::string& dataDir);
