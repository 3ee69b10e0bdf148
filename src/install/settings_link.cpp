#include "install/settings_link.h"

#include "install/shortcuts.h"
#include "util/long_path.h"
#include "util/text.h"

#include <nlohmann/json.hpp>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace
{
fs::path SettingsPath(const std::string& dataDir)
{
    return fs::path(Utf8ToWide(LauncherDataFolder(dataDir))) / L"settings.json";
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

// False when the file does not open; malformed text, or text nested deeper
// than a launcher ever writes, gives a discarded value.
bool ReadSettings(const fs::path& path, json& value)
{
    std::ifstream f(fs::path(LongPath(path.wstring())), std::ios::binary);
    if (!f)
        return false;
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (NestingDepth(text) > kMaxSettingsDepth)
        value = json(json::value_t::discarded);
    else
        value = json::parse(text, nullptr, false);
    return true;
}

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

// Created or truncated; false (with GetLastError set) when not all bytes landed.
bool WriteWholeFile(const fs::path& path, const std::string& text)
{
    HANDLE file = CreateFileW(LongPath(path.wstring()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) && written == (DWORD)text.size();
    DWORD err = ok ? 0 : GetLastError();
    if (!CloseHandle(file) && ok)
    {
        ok = FALSE;
        err = GetLastError();
    }
    if (!ok)
        SetLastError(err ? err : ERROR_WRITE_FAULT);
    return ok != FALSE;
}

std::string SaveFailure(DWORD code)
{
    return "Couldn't save the launcher's settings (" + std::system_category().message((int)code) + ").";
}

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
    {
        unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
        if (x >= 'A' && x <= 'Z')
            x = (unsigned char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (unsigned char)(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info)
{
    // Backup semantics open folders too; no access rights are needed for the identity.
    HANDLE h = CreateFileW(LongPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    return ok != FALSE;
}

// Same volume and file index: one object, however the two paths are spelt.
bool SameObject(const std::wstring& a, const std::wstring& b)
{
    BY_HANDLE_FILE_INFORMATION x = {}, y = {};
    if (a.empty() || b.empty() || !FileIdentity(a, x) || !FileIdentity(b, y))
        return false;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// Whether the launcher's link names the game that is being removed.
bool LinkPointsAt(const std::string& linked, const std::string& removed)
{
    if (linked.empty())
        return true;
    std::wstring v = Utf8ToWide(linked);
    if (SameObject(v, Utf8ToWide(removed)))
        return true;
    // Only a plain "not found" counts as gone; a folder we may not look into
    // could still be the launcher's game.
    std::error_code ec;
    fs::file_status st = fs::status(fs::path(v), ec);
    if (st.type() == fs::file_type::not_found)
        return true;
    return EqualIgnoringAsciiCase(linked, removed);
}
} // namespace

std::string LauncherDataFolder(const std::string& dataDir)
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
            folder = fs::path(local) / L"OstrelLauncher";
        }
        else
        {
            std::error_code ec;
            folder = fs::temp_directory_path(ec) / L"OstrelLauncher";
        }
    }
    MakeFolders(folder.wstring());
    return WideToUtf8(folder.wstring());
}

namespace
{
std::string LinkGame(const std::string& dataDir, const std::string& gameDir)
{
    fs::path path = SettingsPath(dataDir);
    fs::path tmp = path;
    tmp += L".tmp";

    json settings;
    if (!ReadSettings(path, settings) || !settings.is_object())
        settings = json::object();
    settings["gameDir2024July"] = gameDir;
    settings["channel"] = "2024july";

    std::string text;
    if (!SerializeSettings(settings, text))
        return SaveFailure(ERROR_NOT_ENOUGH_MEMORY);
    // A short write must never be renamed over the launcher's good file.
    const std::wstring tmpLong = LongPath(tmp.wstring()), pathLong = LongPath(path.wstring());
    if (!WriteWholeFile(tmp, text))
    {
        DWORD err = GetLastError();
        DeleteFileW(tmpLong.c_str());
        return SaveFailure(err);
    }
    if (MoveFileExW(tmpLong.c_str(), pathLong.c_str(), MOVEFILE_REPLACE_EXISTING))
        return std::string();
    DeleteFileW(pathLong.c_str());
    if (MoveFileExW(tmpLong.c_str(), pathLong.c_str(), MOVEFILE_REPLACE_EXISTING))
        return std::string();
    return SaveFailure(GetLastError());
}

void UnlinkGame(const std::string& dataDir, const std::string& gameDir)
{
    fs::path path = SettingsPath(dataDir);
    json settings;
    if (!ReadSettings(path, settings) || !settings.is_object())
        return;
    auto it = settings.find("gameDir2024July");
    if (it == settings.end())
        return;
    // Something the launcher wrote that is not a folder name: not ours to judge,
    // and the file stays exactly as it is.
    if (!it->is_string())
        return;
    if (LinkPointsAt(it->get_ref<const std::string&>(), gameDir))
        *it = "";
    std::string text;
    if (!SerializeSettings(settings, text))
        return;
    WriteWholeFile(path, text);
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

void UnlinkGameFromLauncherSettings(const std::string& dataDir, const std::string& gameDir)
{
    try
    {
        UnlinkGame(dataDir, gameDir);
    }
    catch (const std::exception&)
    {
    }
}

void DeleteLauncherData(const std::string& dataDir)
{
    RemoveTree(Utf8ToWide(LauncherDataFolder(dataDir)));
}
