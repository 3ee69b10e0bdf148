#include "install/settings_link.h"

#include "state/installed_layout.h"
#include "util/atomic_file.h"
#include "util/file_identity.h"
#include "util/handles.h"
#include "util/long_path.h"
#include "util/system_paths.h"
#include "util/text.h"
#include "util/windows_error.h"

#include <nlohmann/json.hpp>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace
{
fs::path SettingsPath(const std::string& dataDir)
{
    return fs::path(Utf8ToWide(LauncherDataFolder(dataDir))) / kSettingsName;
}

// Deepest nesting of arrays and objects in JSON text, strings skipped.
size_t NestingDepth(const std::string& text)
{
    size_t depth = 0, deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); i++)
    {
        char c = text[i];
        if (inString)
        {
            if (c == '\\')
                i++;
            else if (c == '"')
                inString = false;
        }
        else if (c == '"')
            inString = true;
        else if (c == '[' || c == '{')
            deepest = std::max(deepest, ++depth);
        else if ((c == ']' || c == '}') && depth > 0)
            depth--;
    }
    return deepest;
}

// No launcher nests its settings this deep; writing such a tree back would
// recurse once per level and could overflow the worker's stack.
const size_t kMaxSettingsDepth = 256;

enum class SettingsFile
{
    Missing,    // no settings.json (or no data folder) yet
    Read,       // read; the value may still be discarded (malformed)
    Locked,     // there, but it cannot be read: the launcher may hold it
};

// Malformed text, or text nested deeper than a launcher ever writes, gives a
// discarded value.
SettingsFile ReadSettings(const fs::path& path, json& value)
{
    UniqueFile file(CreateFileW(LongPath(path.wstring()).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? SettingsFile::Missing : SettingsFile::Locked;
    }
    std::string text;
    char buf[65536];
    for (;;)
    {
        DWORD got = 0;
        if (!ReadFile(file.get(), buf, sizeof(buf), &got, nullptr))
            return SettingsFile::Locked;
        if (got == 0)
            break;
        text.append(buf, got);
    }
    if (NestingDepth(text) > kMaxSettingsDepth)
        value = json(json::value_t::discarded);
    else
        value = json::parse(text, nullptr, false);
    return SettingsFile::Read;
}

const char* kLocked = "Couldn't update the launcher's settings - is the launcher running?";

// One space per level, members sorted (the default object is ordered by name),
// UTF-8 kept as it is. A string that is not valid UTF-8 must not throw here:
// it is written with replacement characters instead.
bool SerializeSettings(const json& value, std::string& text)
{
    try
    {
        text = value.dump(1, ' ', false, json::error_handler_t::replace);
        return true;
    }
    catch (const std::exception&)
    {
        return false;
    }
}

// The sentence for a failed write: the launcher holding the file gets the
// question, anything else the system's own words.
std::string SaveFailure(DWORD code)
{
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION)
        return kLocked;
    return "Couldn't save the launcher's settings (" + WindowsErrorText(code) + ").";
}

// Whether the launcher's link names the game that is being removed.
bool LinkPointsAt(const std::string& linked, const std::string& removed)
{
    if (linked.empty())
        return true;
    std::wstring v = Utf8ToWide(linked);
    if (SameFileObject(v, Utf8ToWide(removed)))
        return true;
    // Only a plain "not found" counts as gone; a folder we may not look into
    // could still be the launcher's game.
    std::error_code ec;
    fs::file_status st = fs::status(fs::path(v), ec);
    if (st.type() == fs::file_type::not_found)
        return true;
    return PathsEqualIgnoreCase(v, Utf8ToWide(removed));
}
} // namespace

std::string LauncherDataFolderPath(const std::string& dataDir)
{
    fs::path folder;
    if (!dataDir.empty())
    {
        folder = fs::path(Utf8ToWide(dataDir));
    }
    else
    {
        std::wstring local = KnownFolderPath(FOLDERID_LocalAppData);
        if (!local.empty())
        {
            folder = fs::path(local) / kLauncherDataFolderName;
        }
        else
        {
            std::error_code ec;
            folder = fs::temp_directory_path(ec) / kLauncherDataFolderName;
        }
    }
    return WideToUtf8(folder.wstring());
}

std::string LauncherDataFolder(const std::string& dataDir)
{
    std::string folder = LauncherDataFolderPath(dataDir);
    MakeFolders(Utf8ToWide(folder));
    return folder;
}

namespace
{
std::string LinkGame(const std::string& dataDir, const std::string& gameDir)
{
    fs::path path = SettingsPath(dataDir);
    json settings;
    SettingsFile state = ReadSettings(path, settings);
    // The launcher's file is there but held: replacing it would lose its sign-in.
    if (state == SettingsFile::Locked)
        return kLocked;
    if (state == SettingsFile::Missing || !settings.is_object())
        settings = json::object();
    settings["gameDir2024July"] = gameDir;
    settings["channel"] = "2024july";

    std::string text;
    if (!SerializeSettings(settings, text))
        return SaveFailure(ERROR_NOT_ENOUGH_MEMORY);
    DWORD err = WriteFileAtomically(path.wstring(), text);
    return err == ERROR_SUCCESS ? std::string() : SaveFailure(err);
}

std::string UnlinkGame(const std::string& dataDir, const std::string& gameDir)
{
    fs::path path = SettingsPath(dataDir);
    json settings;
    SettingsFile state = ReadSettings(path, settings);
    if (state == SettingsFile::Locked)
        return kLocked;
    if (state == SettingsFile::Missing || !settings.is_object())
        return std::string();
    auto it = settings.find("gameDir2024July");
    if (it == settings.end())
        return std::string();
    // Something the launcher wrote that is not a folder name: not ours to judge,
    // and the file stays exactly as it is.
    if (!it->is_string())
        return std::string();
    if (LinkPointsAt(it->get_ref<const std::string&>(), gameDir))
        *it = "";
    std::string text;
    if (!SerializeSettings(settings, text))
        return SaveFailure(ERROR_NOT_ENOUGH_MEMORY);
    DWORD err = WriteFileAtomically(path.wstring(), text);
    return err == ERROR_SUCCESS ? std::string() : SaveFailure(err);
}
} // namespace

// Only memory can run out below; nothing may leave the worker as an exception.
std::string LinkGameInLauncherSettings(const std::string& dataDir, const std::string& gameDir)
{
    try
    {
        return LinkGame(dataDir, gameDir);
    }
    catch (const std::exception&)
    {
        return SaveFailure(ERROR_NOT_ENOUGH_MEMORY);
    }
}

std::string UnlinkGameFromLauncherSettings(const std::string& dataDir, const std::string& gameDir)
{
    try
    {
        return UnlinkGame(dataDir, gameDir);
    }
    catch (const std::exception&)
    {
        return SaveFailure(ERROR_NOT_ENOUGH_MEMORY);
    }
}

std::string CheckLauncherSettings(const std::string& dataDir)
{
    json ignored;
    return ReadSettings(SettingsPath(dataDir), ignored) == SettingsFile::Locked ? std::string(kLocked) : std::string();
}

void DeleteLauncherData(const std::string& dataDir)
{
    RemoveTree(Utf8ToWide(LauncherDataFolderPath(dataDir)));
}
