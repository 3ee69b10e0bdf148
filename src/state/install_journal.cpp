#include "state/install_journal.h"

#include "state/installed_layout.h"
#include "util/atomic_file.h"
#include "util/handles.h"
#include "util/long_path.h"
#include "util/text.h"

#include <nlohmann/json.hpp>

#include <filesystem>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace
{
std::wstring JournalPath(const std::wstring& installDir)
{
    return (fs::path(installDir) / kJournalName).wstring();
}

const char* StateName(InstallJournal::State state)
{
    return state == InstallJournal::Placed ? "placed" : "placing";
}
} // namespace

bool ReadInstallJournal(const std::wstring& installDir, InstallJournal& journal)
{
    UniqueCFile f(_wfopen(LongPath(JournalPath(installDir)).c_str(), L"rb"));
    if (!f)
        return false;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f.get())) > 0 && text.size() < (1u << 20))
        text.append(buf, n);
    if (ferror(f.get()))
        return false;
    const json value = json::parse(text, nullptr, false);
    if (!value.is_object())
        return false;
    auto text_of = [&value](const char* name) {
        auto it = value.find(name);
        return it != value.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    const std::string state = text_of("state");
    auto created = value.find("gameDirCreated");
    if ((state != "placing" && state != "placed") || created == value.end() || !created->is_boolean())
        return false;
    journal.state = state == "placed" ? InstallJournal::Placed : InstallJournal::Placing;
    journal.sha256 = text_of("sha256");
    journal.gameDir = text_of("gameDir");
    journal.gameExe = text_of("gameExe");
    journal.gameDirCreated = created->get<bool>();
    return !journal.gameDir.empty();
}

DWORD WriteInstallJournal(const std::wstring& installDir, const InstallJournal& journal)
{
    json value = {
        {"state", StateName(journal.state)},
        {"sha256", journal.sha256},
        {"gameDir", journal.gameDir},
        {"gameExe", journal.gameExe},
        {"gameDirCreated", journal.gameDirCreated},
    };
    std::string text;
    try
    {
        text = value.dump(1, ' ', false, json::error_handler_t::replace);
    }
    catch (const std::exception&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return WriteFileAtomically(JournalPath(installDir), text);
}
