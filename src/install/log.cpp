#include "install/log.h"

#include "install/settings_link.h"
#include "state/installer_app.h"
#include "util/handles.h"
#include "util/long_path.h"
#include "util/text.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

void AppendLog(const InstallerApp& app, const std::string& message)
{
    std::filesystem::path path = std::filesystem::path(Utf8ToWide(LauncherDataFolder(app.dataDir))) / kLogName;
    // Text mode: the C runtime ends each line with CR LF.
    UniqueCFile file(_wfopen(LongPath(path.wstring()).c_str(), L"at"));
    if (!file)
        return;
    FILE* f = file.get();
    time_t now = time(nullptr);
    struct tm local = {};
    char stamp[32] = {};
    if (localtime_s(&local, &now) == 0)
        strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &local);
    fputs(stamp, f);
    fputs("  ", f);
    fwrite(message.data(), 1, message.size(), f);
    fputs("\n", f);
    fflush(f);
}
