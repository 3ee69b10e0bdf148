// The command line: a few whole-word options, case-sensitive.
#pragma once
#include <string>
#include <vector>

class InstallerApp;

struct LaunchOptions
{
    bool        autoMode = false;       // --auto
    bool        uninstall = false;      // --uninstall
    bool        launcherOnly = false;   // --launcher-only
    bool        links = false;          // --links
    std::string server;                 // --server VALUE
    std::string data;                   // --data VALUE
    std::string dir;                    // --dir VALUE
};

// `words` excludes the program path (word 0).
LaunchOptions ParseCommandLine(const std::vector<std::wstring>& words);
// Splits GetCommandLineW(); on failure every option keeps its default.
LaunchOptions ReadCommandLine();
// Copies the flags into a freshly constructed InstallerApp (before Init).
void ApplyLaunchOptions(InstallerApp& app, const LaunchOptions& options);
