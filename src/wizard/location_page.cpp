#include "wizard/wizard.h"

#include "state/installer_app.h"
#include "util/free_space.h"
#include "util/long_path.h"
#include "util/text.h"

#include <imgui.h>
#include <imgui_stdlib.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

bool SpaceEnough(uint64_t freeBytes, uint64_t needed)
{
    return freeBytes == 0 || freeBytes >= needed;
}

std::string SpaceLine(uint64_t needed, uint64_t freeBytes, bool checking)
{
    std::string available = checking ? std::string("checking...") : freeBytes == 0 ? std::string("unknown") : FormatSize(freeBytes);
    return "Space required: about " + FormatSize(needed) + ".   Space available: " + available + ".";
}

void InstallerApp::DrawLocationPage(PageFrame& f, float w)
{
    (void)w;
    using namespace Layout;
    const float s = scale;

    PageTitle(f, "Choose the install location", 20, false);
    PageText(f, f.At(ContentX, 74), f.pal.text,
             "Ostrel and its game files will be installed in this folder. To use another folder, click Browse.");

    // The field ends 10 units before the button, however wide its label.
    const float browseW = WizardButtonWidth("B&rowse...", s);
    PageTextField(f, "##dir", "Install folder", f.At(ContentX, 134), f.wrapX - browseW - 10 * s - ContentX * s,
                  &installDir);
    // Its right edge is the wrap column.
    WizardButton(f, {"B&rowse...", true, false, false, Action_Browse}, f.wrapX - browseW, 132 * s);

    // A folder that is not a full path would be resolved against wherever the
    // setup happens to run: it is refused, with a word on how to write one.
    // (Under 3 bytes Next stays off without a word, as for an empty field.)
    const bool fullPath = IsFullPath(installDir);
    bool enough = false;
    const ImVec2 figures = f.At(ContentX, 174);     // wrapped: long figures would run off the window
    if (!fullPath && installDir.size() >= 3)
    {
        PageText(f, figures, f.pal.red, "Type a full folder path, such as C:\\Games\\Ostrel.");
    }
    else
    {
        const uint64_t needed = SpaceNeeded(info, includeGame);
        // Asked in the background: the page never waits on the file system.
        // While nothing is known yet the folder is not refused for space;
        // the install checks the space again before it writes anything.
        const FreeSpaceAnswer space = FreeSpaceFor(freeSpace, installDir);
        enough = SpaceEnough(space.bytes, needed);
        PageStatus(f, figures, enough ? f.pal.grey : f.pal.red, SpaceLine(needed, space.bytes, !space.known));
    }

    PageCheckbox(f, "Create a &desktop shortcut", f.At(ContentX, 220), &desktopShortcut);
    PageCheckbox(f, "Create a &Start menu shortcut", f.At(ContentX, 250), &startMenuShortcut);
    char label[96];
    snprintf(label, sizeof(label), "Download and install the &game (Ostrel.zip, %s)", FormatSize(info.gameSize).c_str());
    PageCheckbox(f, label, f.At(ContentX, 292), &includeGame);
    // Under the label, also when the label took two lines.
    if (!includeGame)
        PageText(f, ImVec2(IndentX * s + 10 * s, std::max(316 * s, ImGui::GetCursorScreenPos().y)), f.pal.grey,
                 "Only the launcher is installed. Link a copy of the game later in the launcher's Settings.");

    locationValid = installDir.size() >= 3 && fullPath && enough;
}

std::string PickFolder(HWND owner, const std::string& current)
{
    Microsoft::WRL::ComPtr<IFileOpenDialog> dialog;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog))))
        return std::string();

    FILEOPENDIALOGOPTIONS options = 0;
    if (SUCCEEDED(dialog->GetOptions(&options)))
        dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
    dialog->SetTitle(L"Choose where to install Ostrel");

    // Open where the typed folder, or its nearest existing parent, is.
    std::filesystem::path start(Utf8ToWide(current));
    for (;;)
    {
        std::error_code ec;
        if (start.empty() || std::filesystem::exists(start, ec))
            break;
        std::filesystem::path parent = start.parent_path();
        if (parent == start)
            break;
        start = parent;
    }
    Microsoft::WRL::ComPtr<IShellItem> folder;
    if (SUCCEEDED(SHCreateItemFromParsingName(start.wstring().c_str(), nullptr, IID_PPV_ARGS(&folder))))
        dialog->SetFolder(folder.Get());

    std::string result;
    Microsoft::WRL::ComPtr<IShellItem> item;
    if (SUCCEEDED(dialog->Show(owner)) && SUCCEEDED(dialog->GetResult(&item)))
    {
        PWSTR name = nullptr;
        if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &name)))
        {
            result = WideToUtf8(name);
            CoTaskMemFree(name);
        }
    }
    return result;
}
