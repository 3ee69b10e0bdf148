#include <doctest.h>

#include "standin_process.h"
#include "test_support.h"
#include "uninstall/running_check.h"
#include "util/text.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace
{
std::wstring Upper(std::wstring s)
{
    for (wchar_t& c : s)
        if (c >= L'a' && c <= L'z')
            c = (wchar_t)(c - L'a' + L'A');
    return s;
}

std::wstring ForwardSlashes(std::wstring s)
{
    for (wchar_t& c : s)
        if (c == L'\\')
            c = L'/';
    return s;
}
} // namespace

TEST_CASE("a program counts as running only from inside the folder")
{
    const fs::path root(Utf8ToWide(MakeTempDir("rcheck")));
    const fs::path inst = root / L"Inst";
    fs::create_directories(inst);

    struct Case
    {
        const wchar_t* runAs;       // where the stand-in runs, below root
        const wchar_t* askName;     // the name asked for
        fs::path       askFolder;   // the folder asked about
        bool           running;
    };
    const Case cases[] = {
        { L"Inst\\Ostrel Launcher.exe", L"Ostrel Launcher.exe", inst, true },
        // The game in its folder inside the install folder.
        { L"Inst\\Ostrel\\Playden.exe", L"Playden.exe", inst, true },
        // Letter case differs in the folder, in the asked name, in both.
        { L"Inst\\Ostrel Launcher.exe", L"Ostrel Launcher.exe", Upper(inst.wstring()), true },
        { L"Inst\\Ostrel\\Playden.exe", L"PLAYDEN.exe", inst, true },
        { L"Inst\\Ostrel\\Playden.exe", L"playden.EXE", Upper(inst.wstring()), true },
        // A spelling that is not canonical still names the folder.
        { L"Inst\\Ostrel Launcher.exe", L"Ostrel Launcher.exe", root / L"Other" / L".." / L"Inst" / L".", true },
        { L"Inst\\Ostrel\\Playden.exe", L"Playden.exe", ForwardSlashes(inst.wstring()), true },
        // A sibling folder whose name starts with the install folder's name.
        { L"Inst2\\Ostrel Launcher.exe", L"Ostrel Launcher.exe", inst, true },
        { L"Install copy\\Playden.exe", L"Playden.exe", inst, true },
        // The same program elsewhere, or another name, does not count.
        { L"Other\\Ostrel Launcher.exe", L"Ostrel Launcher.exe", inst, false },
        { L"In\\Playden.exe", L"Playden.exe", inst, false },
        { L"Inst\\Ostrel\\Playden.exe", L"Ostrel Launcher.exe", inst, false },
        { L"Inst\\Ostrel\\Playden.exe", L"Playden", inst, false },
    };
    for (const Case& c : cases)
    {
        CAPTURE(WideToUtf8(c.runAs));
        CAPTURE(WideToUtf8(c.askName));
        CAPTURE(WideToUtf8(c.askFolder.wstring()));
        StandinProcess p(root / c.runAs);
        REQUIRE(p.started);
        CHECK(IsRunningFrom(c.askName, c.askFolder) == c.running);
    }
}

TEST_CASE("nothing of that name running")
{
    const fs::path root(Utf8ToWide(MakeTempDir("rcheck-none")));
    CHECK_FALSE(IsRunningFrom(L"Ostrel Launcher.exe", root));
    CHECK_FALSE(IsRunningFrom(L"No Such Program.exe", root));
    // The test program itself runs, but not from this folder.
    CHECK_FALSE(IsRunningFrom(L"ut_running_check.exe", root));
    CHECK(IsRunningFrom(L"ut_running_check.exe", StandinExe().parent_path()));
    // After the stand-in ended it no longer counts.
    {
        StandinProcess p(root / L"Playden.exe");
        REQUIRE(p.started);
        CHECK(IsRunningFrom(L"Playden.exe", root));
    }
    CHECK_FALSE(IsRunningFrom(L"Playden.exe", root));
}
