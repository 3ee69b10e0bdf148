#include "app/command_line.h"

#include "state/installer_app.h"
#include "util/handles.h"
#include "util/text.h"

#include <shellapi.h>

LaunchOptions ParseCommandLine(const std::vector<std::wstring>& words)
{
    LaunchOptions o;
    // Flag pass: no word is consumed as a value here, so a flag standing as
    // the value of --dir (say) still sets the flag.
    for (const std::wstring& w : words)
    {
        if (w == L"--auto")
            o.autoMode = true;
        else if (w == L"--uninstall")
            o.uninstall = true;
        else if (w == L"--launcher-only")
            o.launcherOnly = true;
        else if (w == L"--links")
            o.links = true;
    }
    // Value pass: the last word is never taken as an option name, and the last
    // complete occurrence of an option wins.
    size_t i = 0;
    while (i + 1 < words.size())
    {
        const std::wstring& w = words[i];
        std::string* target = w == L"--server" ? &o.server : w == L"--data" ? &o.data : w == L"--dir" ? &o.dir : nullptr;
        if (target)
        {
            *target = WideToUtf8(words[i + 1]);
            i += 2;
        }
        else
            i += 1;
    }
    return o;
}

LaunchOptions ReadCommandLine()
{
    struct ArgvTraits
    {
        using Handle = LPWSTR*;
        static Handle Invalid() { return nullptr; }
        static void Close(Handle h) { LocalFree(h); }
    };
    int argc = 0;
    UniqueHandle<ArgvTraits> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv)
        return LaunchOptions();
    std::vector<std::wstring> words;
    for (int i = 1; i < argc; i++)
        words.emplace_back(argv.get()[i]);
    return ParseCommandLine(words);
}

void ApplyLaunchOptions(InstallerApp& app, const LaunchOptions& o)
{
    app.autoMode = o.autoMode;
    if (o.autoMode)
        app.desktopShortcut = app.startMenuShortcut = false;
    app.uninstallMode = o.uninstall;
    app.includeGame = !o.launcherOnly;
    // After --auto, so it wins over the clearing done for --auto.
    if (o.links)
        app.desktopShortcut = app.startMenuShortcut = true;
}
