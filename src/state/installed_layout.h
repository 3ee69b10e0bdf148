// Where an installation lives: every name the setup gives to what it puts on
// the machine, in one place for the install, the uninstall and the journal.
#pragma once

// In the install folder.
inline constexpr const wchar_t* kLauncherExeName = L"Ostrel Launcher.exe";
inline constexpr const wchar_t* kLauncherPartName = L"Ostrel Launcher.exe.part";
inline constexpr const wchar_t* kLauncherOldName = L"Ostrel Launcher.old.exe";
// Earlier builds of the setup kept more than one old launcher.
inline constexpr const wchar_t* kLauncherFileNames[] = {
    kLauncherExeName, kLauncherOldName, kLauncherPartName, L"Ostrel Launcher.old2.exe", L"Ostrel Launcher.old3.exe",
};
inline constexpr const wchar_t* kSetupCopyName = L"Ostrel Setup.exe";
inline constexpr const wchar_t* kSetupCopyTempName = L"Ostrel Setup.exe.tmp";
inline constexpr const wchar_t* kArchiveName = L"Ostrel.download.zip";
// The game is unpacked here, hidden, and moved into place only once verified.
inline constexpr const wchar_t* kStagingName = L"Ostrel.unpacking";
// What an install that is under way is about to do (state/install_journal.h).
inline constexpr const wchar_t* kJournalName = L"Ostrel.journal";
// The game's files the setup wrote outside a game folder of its own.
inline constexpr const wchar_t* kManifestName = L"Ostrel.files";
// The game folder, when that name is free.
inline constexpr const wchar_t* kGameFolderName = L"Ostrel";
// Names of the setup's own bookkeeping: no archive entry may land on them,
// and the uninstall removes them whatever state they are in (with the
// temporary files of their atomic writes).
inline constexpr const wchar_t* kBookkeepingNames[] = {
    kArchiveName, kStagingName, kJournalName, L"Ostrel.journal.tmp", kManifestName, L"Ostrel.files.tmp",
    kSetupCopyTempName,
};

// In the launcher's data folder (%LOCALAPPDATA%\OstrelLauncher unless --data
// names another): its settings, where the game is linked, and the setup's log.
inline constexpr const wchar_t* kLauncherDataFolderName = L"OstrelLauncher";
inline constexpr const wchar_t* kSettingsName = L"settings.json";
inline constexpr const wchar_t* kLogName = L"installer.log";

// Shortcuts on the desktop and in the Start menu (the second one of older builds).
inline constexpr const wchar_t* kShortcutName = L"Ostrel Launcher.lnk";
inline constexpr const wchar_t* kShortcutNames[] = {kShortcutName, L"Ostrel.lnk"};

// The game's executable of installs made before the record named it.
inline constexpr const char* kOldGameExe = "Playden.exe";

// Under HKEY_CURRENT_USER: the installer's own record (the test key when a
// data folder is given) and the entry in the list of installed programs.
inline constexpr const wchar_t* kInstallerKey = L"Software\\Ostrel\\Installer";
inline constexpr const wchar_t* kTestInstallerKey = L"Software\\OstrelTest\\Installer";
#define OSTREL_UNINSTALL_KEY L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OstrelGame"

// The setup's window, and the one copy that may run.
inline constexpr const wchar_t* kWindowClassName = L"OstrelInstaller";
inline constexpr const wchar_t* kSingleInstanceMutexName = L"OstrelInstaller.SingleInstance";

// Addresses: the install document on the server, the downloads on the download host.
inline constexpr const char* kInstallDocumentPath = "/api/launcher/v1/install";
// Beside it, the document's signature (state/document_signature.h).
inline constexpr const char* kSignatureSuffix = "/signature";
inline constexpr const char* kLauncherDownloadPath = "/api/launcher/v1/app/";
inline constexpr const char* kGameDownloadPath = "/api/launcher/v1/install/game/";
