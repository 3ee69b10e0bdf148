#include "state/install_record.h"

#include "state/install_journal.h"
#include "util/atomic_file.h"
#include "util/file_identity.h"
#include "util/handles.h"
#include "util/long_path.h"
#include "util/registry.h"
#include "util/text.h"
#include "util/windows_error.h"

#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace
{
std::wstring ManifestPath(const std::wstring& installDir)
{
    return (fs::path(installDir) / kManifestName).wstring();
}

// A name listed twice costs only a second delete of a missing file, so exact
// text is enough here.
void MergeList(std::vector<std::string>& list, const std::vector<std::string>& more)
{
    std::set<std::string> known(list.begin(), list.end());
    for (const std::string& item : more)
        if (known.insert(item).second)
            list.push_back(item);
}
} // namespace

const wchar_t* InstallerRegKey(const std::string& dataDir)
{
    return dataDir.empty() ? kInstallerKey : kTestInstallerKey;
}

InstallRecord ReadInstallRecord(const std::string& dataDir)
{
    const wchar_t* key = InstallerRegKey(dataDir);
    InstallRecord record;
    record.installDir = ReadRegString(key, L"InstallDir");
    record.gameDir = ReadRegString(key, L"GameDir");
    record.gameExe = ReadRegString(key, L"GameExe");
    DWORD created = 0;
    bool haveCreated = ReadRegDword(key, L"GameDirCreated", created);
    record.gameDirCreated = haveCreated && created == 1;
    // An empty GameExe reads back like a missing one; only a launcher-only
    // install (no game folder) records it empty.
    record.complete = haveCreated && (!record.gameExe.empty() || record.gameDir.empty());
    DWORD unfinished = 0;
    record.unfinished = ReadRegDword(key, L"Unfinished", unfinished) && unfinished == 1;
    InstallJournal journal;
    if (record.unfinished && !record.installDir.empty() &&
        ReadInstallJournal(Utf8ToWide(record.installDir), journal))
    {
        record.gameDir = journal.gameDir;
        record.gameExe = journal.gameExe;
        record.gameDirCreated = journal.gameDirCreated;
        record.complete = true;
    }
    return record;
}

std::string BeginInstallRecord(const std::string& dataDir, const std::string& installDir)
{
    const wchar_t* key = InstallerRegKey(dataDir);
    const InstallRecord previous = ReadInstallRecord(dataDir);
    // The mark first: from here on a reader knows the values may change.
    LSTATUS rc = WriteRegDword(key, L"Unfinished", 1);
    const bool sameFolder = !previous.installDir.empty() &&
                            (SameFileObject(Utf8ToWide(previous.installDir), Utf8ToWide(installDir)) ||
                             PathsEqualIgnoreCase(Utf8ToWide(previous.installDir), Utf8ToWide(installDir)));
    // A record of another folder (or none): no game yet. Cleared before the
    // folder changes, so no mixture names a game folder in the new one.
    if (rc == ERROR_SUCCESS && !sameFolder)
        rc = WriteRegDword(key, L"GameDirCreated", 0);
    if (rc == ERROR_SUCCESS && !sameFolder)
        rc = WriteRegString(key, L"GameExe", "");
    if (rc == ERROR_SUCCESS && !sameFolder)
        rc = WriteRegString(key, L"GameDir", "");
    if (rc == ERROR_SUCCESS && !sameFolder)
        rc = WriteRegString(key, L"InstallDir", installDir);
    if (rc == ERROR_SUCCESS)
        return std::string();
    return "Couldn't record the installation in the registry (" + WindowsErrorText((DWORD)rc) +
           ") - without it Ostrel could not be uninstalled.";
}

void EndInstallRecord(const std::string& dataDir, const std::string& installDir)
{
    DeleteFileW(LongPath((fs::path(Utf8ToWide(installDir)) / kJournalName).wstring()).c_str());
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, InstallerRegKey(dataDir), 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        RegDeleteValueW(key.get(), L"Unfinished");
}

std::string WriteInstallRecord(const std::string& dataDir, const InstallRecord& record)
{
    const wchar_t* key = InstallerRegKey(dataDir);
    LSTATUS rc = WriteRegString(key, L"InstallDir", record.installDir);
    if (rc == ERROR_SUCCESS)
        rc = WriteRegString(key, L"GameDir", record.gameDir);
    if (rc == ERROR_SUCCESS)
        rc = WriteRegString(key, L"GameExe", record.gameExe);
    if (rc == ERROR_SUCCESS)
        rc = WriteRegDword(key, L"GameDirCreated", record.gameDirCreated ? 1 : 0);
    if (rc == ERROR_SUCCESS)
        return std::string();
    return "Couldn't record the installation in the registry (" + WindowsErrorText((DWORD)rc) +
           ") - without it Ostrel could not be uninstalled.";
}

bool ReadManifest(const std::wstring& installDir, Manifest& manifest)
{
    UniqueCFile f(_wfopen(LongPath(ManifestPath(installDir)).c_str(), L"rb"));
    if (!f)
        return false;
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f.get())) > 0)
        text.append(buf, n);
    if (ferror(f.get()))
        return false;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (line.back() == '\\')
        {
            line.pop_back();
            if (!line.empty())
                manifest.folders.push_back(line);
        }
        else
            manifest.files.push_back(line);
    }
    return true;
}

DWORD WriteManifest(const std::wstring& installDir, const Manifest& manifest)
{
    std::string text;
    for (const std::string& folder : manifest.folders)
        text += folder + "\\\n";
    for (const std::string& file : manifest.files)
        text += file + "\n";
    return WriteFileAtomically(ManifestPath(installDir), text);
}

void MergeManifest(Manifest& manifest, const Manifest& more)
{
    MergeList(manifest.files, more.files);
    MergeList(manifest.folders, more.folders);
}
