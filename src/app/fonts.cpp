#include "app/fonts.h"

#include "util/handles.h"
#include "util/text.h"
#include "wizard/controls.h"
#include "wizard/page_style.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{
struct GdiObjectTraits
{
    using Handle = HGDIOBJ;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { DeleteObject(h); }
};
struct MemoryDcTraits
{
    using Handle = HDC;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { DeleteDC(h); }
};
using GdiFont = UniqueHandle<GdiObjectTraits>;
using MemoryDc = UniqueHandle<MemoryDcTraits>;

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The Windows fonts folder as the system names it; "C:\Windows\Fonts" only
// when the known-folder query fails.
std::wstring FontsFolder()
{
    PWSTR path = nullptr;
    std::wstring folder = L"C:\\Windows\\Fonts";
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Fonts, 0, nullptr, &path)))
        folder = path;
    CoTaskMemFree(path);
    return folder;
}

uint32_t BigEndian32(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// The bytes of the font selected into dc, allocated for the font atlas (which
// takes ownership); null when GDI cannot give them. A font of a collection
// (.ttc) comes as the whole collection with its index in `fontNo`: the
// collection's tables are shared and their offsets count from its start.
void* SelectedFontData(HDC dc, int& size, int& fontNo)
{
    size = 0;
    fontNo = 0;
    const DWORD kCollection = 0x66637474;   // "ttcf", as GDI wants the tag
    const DWORD whole = GetFontData(dc, kCollection, 0, nullptr, 0);
    const bool collection = whole != GDI_ERROR && whole > 12;
    const DWORD length = collection ? whole : GetFontData(dc, 0, 0, nullptr, 0);
    if (length == GDI_ERROR || length == 0 || length >= (96u << 20))
        return nullptr;
    unsigned char* data = (unsigned char*)IM_ALLOC(length);
    if (GetFontData(dc, collection ? kCollection : 0, 0, data, length) != length)
    {
        IM_FREE(data);
        return nullptr;
    }
    if (collection)
    {
        // Which member: the one whose table directory is the selected font's.
        unsigned char head[12 + 16 * 4];
        const DWORD got = GetFontData(dc, 0, 0, head, sizeof(head));
        const uint32_t count = BigEndian32(data + 8);
        fontNo = -1;
        for (uint32_t i = 0; got != GDI_ERROR && got >= 12 && i < count && 12 + 4 * (i + 1) <= length; i++)
        {
            const uint32_t at = BigEndian32(data + 12 + 4 * i);
            if (at + got <= length && memcmp(data + at, head, got) == 0)
            {
                fontNo = (int)i;
                break;
            }
        }
        if (fontNo < 0)
        {
            IM_FREE(data);
            return nullptr;
        }
    }
    size = (int)length;
    return data;
}

// The bytes of the system's message font (the one dialogs use), regular or
// bold, through GDI: wherever Segoe UI is missing (older systems, Wine) this
// is still a real proportional UI font.
void* MessageFontData(bool bold, int& size, int& fontNo, std::string& name)
{
    size = 0;
    NONCLIENTMETRICSW ncm = {};
    ncm.cbSize = sizeof(ncm);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(ncm), &ncm, 0))
        return nullptr;
    LOGFONTW lf = ncm.lfMessageFont;
    name = WideToUtf8(lf.lfFaceName) + (bold ? " Bold" : "");
    lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = FALSE;
    GdiFont font(CreateFontIndirectW(&lf));
    MemoryDc dc(CreateCompatibleDC(nullptr));
    if (!font || !dc)
        return nullptr;
    HGDIOBJ previous = SelectObject(dc.get(), font.get());
    void* data = SelectedFontData(dc.get(), size, fontNo);
    SelectObject(dc.get(), previous);
    return data;
}

// The scripts a fallback font is looked for by: their code points, the GDI
// character set that asks for them, and the system's fonts for them, best
// first. Han characters go with the user's language (or with kana, Japanese).
struct Script
{
    uint32_t       first, last;
    BYTE           charset;
    const wchar_t* faces[4];
};
const Script kJapanese = {0x3040, 0x30FF, SHIFTJIS_CHARSET, {L"Yu Gothic UI", L"Meiryo UI", L"Meiryo", L"MS UI Gothic"}};
const Script kKorean = {0xAC00, 0xD7AF, HANGUL_CHARSET, {L"Malgun Gothic", L"Gulim"}};
const Script kSimplified = {0x4E00, 0x9FFF, GB2312_CHARSET, {L"Microsoft YaHei UI", L"Microsoft YaHei", L"SimSun"}};
const Script kTraditional = {0x4E00, 0x9FFF, CHINESEBIG5_CHARSET, {L"Microsoft JhengHei UI", L"Microsoft JhengHei", L"PMingLiU"}};
const Script kOthers[] = {
    {0x0370, 0x03FF, GREEK_CHARSET, {L"Segoe UI", L"Arial"}},
    {0x0400, 0x052F, RUSSIAN_CHARSET, {L"Segoe UI", L"Arial"}},
    {0x0590, 0x05FF, HEBREW_CHARSET, {L"Segoe UI", L"Arial"}},
    {0x0600, 0x06FF, ARABIC_CHARSET, {L"Segoe UI", L"Arial"}},
    {0x0900, 0x0DFF, DEFAULT_CHARSET, {L"Nirmala UI", L"Mangal"}},
    {0x0E00, 0x0E7F, THAI_CHARSET, {L"Leelawadee UI", L"Tahoma"}},
    {0x1100, 0x11FF, HANGUL_CHARSET, {L"Malgun Gothic", L"Gulim"}},
    {0x3130, 0x318F, HANGUL_CHARSET, {L"Malgun Gothic", L"Gulim"}},
};

bool IsHan(uint32_t c)
{
    return (c >= 0x2E80 && c <= 0x2FDF) || (c >= 0x3000 && c <= 0x303F) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF);
}

const Script& HanScript(bool kana)
{
    const LANGID lang = GetUserDefaultUILanguage();
    if (kana || PRIMARYLANGID(lang) == LANG_JAPANESE)
        return kJapanese;
    if (PRIMARYLANGID(lang) == LANG_KOREAN)
        return kKorean;
    if (PRIMARYLANGID(lang) == LANG_CHINESE && SUBLANGID(lang) != SUBLANG_CHINESE_SIMPLIFIED &&
        SUBLANGID(lang) != SUBLANG_CHINESE_SINGAPORE)
        return kTraditional;
    return kSimplified;
}

// How many of the code points the font has glyphs for.
int GlyphsPresent(HDC dc, const std::vector<uint32_t>& codes)
{
    std::wstring text;
    for (uint32_t c : codes)
        text += (wchar_t)c;
    std::vector<WORD> glyphs(text.size());
    if (GetGlyphIndicesW(dc, text.c_str(), (int)text.size(), glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS) == GDI_ERROR)
        return 0;
    return (int)std::count_if(glyphs.begin(), glyphs.end(), [](WORD g) { return g != 0xFFFF; });
}

// A system font with glyphs for the code points of one script: a named face
// of the script where GDI has it, else whatever GDI gives for its character
// set (under Wine, the fonts it finds). Null when none has any.
void* ScriptFontData(const Script& script, const std::vector<uint32_t>& codes, int& size, int& fontNo)
{
    MemoryDc dc(CreateCompatibleDC(nullptr));
    if (!dc)
        return nullptr;
    const wchar_t* const* faces = script.faces;
    for (int attempt = 0; attempt < 5; attempt++)
    {
        const wchar_t* face = attempt < 4 ? faces[attempt] : L"";
        if (!face || (attempt == 4 && script.charset == DEFAULT_CHARSET))
            continue;
        LOGFONTW lf = {};
        lf.lfHeight = -16;
        lf.lfWeight = FW_NORMAL;
        lf.lfCharSet = script.charset;
        wcsncpy(lf.lfFaceName, face, LF_FACESIZE - 1);
        GdiFont font(CreateFontIndirectW(&lf));
        if (!font)
            continue;
        HGDIOBJ previous = SelectObject(dc.get(), font.get());
        wchar_t chosen[LF_FACESIZE] = {};
        GetTextFaceW(dc.get(), LF_FACESIZE, chosen);
        // A named face must be that face, not a stand-in GDI picked instead.
        const bool named = *face != 0;
        void* data = nullptr;
        if ((!named || _wcsicmp(chosen, face) == 0) && GlyphsPresent(dc.get(), codes) > 0)
            data = SelectedFontData(dc.get(), size, fontNo);
        SelectObject(dc.get(), previous);
        if (data)
            return data;
    }
    return nullptr;
}
} // namespace

// Segoe UI from the fonts folder; else the system's message font, regular and
// bold; else the library's built-in font. The semibold and light fonts stay
// null where nothing fits: their callers use the current font instead.
void LoadFonts(ImGuiIO& io)
{
    const std::wstring folder = FontsFolder();
    const std::wstring segoe = folder + L"\\segoeui.ttf";
    const std::wstring semibold = folder + L"\\seguisb.ttf";
    const std::wstring light = folder + L"\\segoeuil.ttf";
    g_semiboldFont = nullptr;
    g_lightFont = nullptr;

    ImFont* main = nullptr;
    if (FileExists(segoe))
        main = io.Fonts->AddFontFromFileTTF(WideToUtf8(segoe).c_str(), 15.0f);
    if (main)
    {
        if (FileExists(semibold))
            g_semiboldFont = io.Fonts->AddFontFromFileTTF(WideToUtf8(semibold).c_str(), 15.0f);
        if (FileExists(light))
            g_lightFont = io.Fonts->AddFontFromFileTTF(WideToUtf8(light).c_str(), 15.0f);
    }
    else
    {
        int size = 0, fontNo = 0;
        std::string name;
        ImFontConfig cfg;
        if (void* data = MessageFontData(false, size, fontNo, name))
        {
            snprintf(cfg.Name, sizeof(cfg.Name), "%s", name.c_str());
            cfg.FontNo = fontNo;
            main = io.Fonts->AddFontFromMemoryTTF(data, size, 15.0f, &cfg);
        }
        if (main)
        {
            if (void* bold = MessageFontData(true, size, fontNo, name))
            {
                snprintf(cfg.Name, sizeof(cfg.Name), "%s", name.c_str());
                cfg.FontNo = fontNo;
                g_semiboldFont = io.Fonts->AddFontFromMemoryTTF(bold, size, 15.0f, &cfg);
            }
        }
    }
    if (!main)
        io.Fonts->AddFontDefault();
}

bool MergeFallbackFonts(WizardUi& ui)
{
    std::vector<uint32_t> missing;
    missing.swap(ui.missingGlyphs);
    ImGuiIO& io = ImGui::GetIO();
    if (missing.empty() || io.Fonts->Fonts.empty())
        return false;
    ui.glyphsTried.insert(ui.glyphsTried.end(), missing.begin(), missing.end());
    ImFont* main = io.Fonts->Fonts[0];

    // The missing code points by script; each script's font once.
    const bool kana = std::any_of(missing.begin(), missing.end(), [](uint32_t c) { return c >= 0x3040 && c <= 0x30FF; });
    std::vector<std::pair<const Script*, std::vector<uint32_t>>> wanted;
    for (uint32_t c : missing)
    {
        const Script* script = nullptr;
        if (IsHan(c) || (c >= kJapanese.first && c <= kJapanese.last))
            script = &HanScript(kana);
        else if (c >= kKorean.first && c <= kKorean.last)
            script = &kKorean;
        for (const Script& s : kOthers)
            if (!script && c >= s.first && c <= s.last)
                script = &s;
        if (!script)
            continue;
        auto it = std::find_if(wanted.begin(), wanted.end(), [&](const auto& w) { return w.first == script; });
        if (it == wanted.end())
            wanted.push_back({script, {c}});
        else
            it->second.push_back(c);
    }

    bool merged = false;
    for (const auto& [script, codes] : wanted)
    {
        int size = 0, fontNo = 0;
        void* data = ScriptFontData(*script, codes, size, fontNo);
        if (!data)
            continue;
        ImFontConfig cfg;
        cfg.MergeMode = true;
        cfg.DstFont = main;
        cfg.FontNo = fontNo;
        snprintf(cfg.Name, sizeof(cfg.Name), "fallback for U+%04X", codes.front());
        if (io.Fonts->AddFontFromMemoryTTF(data, size, 0.0f, &cfg))
            merged = true;
    }
    return merged;
}
