#include "package/unpack.h"

#include "package/game_job.h"
#include "util/long_path.h"
#include "util/text.h"

#include <miniz.h>

#include <algorithm>
#include <cstdio>
#include <share.h>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <set>
#include <vector>

namespace fs = std::filesystem;

namespace
{
bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    return true;
}

// Windows opens a device instead of a file for these names, in any folder and
// whatever extension follows ("nul.txt", "COM1.dll", "aux .log").
bool IsDeviceName(const std::string& component)
{
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    std::string upper;
    for (char c : base)
        upper.push_back(AsciiUpper(c));
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* n : kNames)
        if (upper == n)
            return true;
    if (upper.size() < 4 || (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0))
        return false;
    std::string rest = upper.substr(3);
    if (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9')
        return true;
    // Superscript one, two and three count as digits to Windows here.
    return rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3";
}

// One path component that Windows would store under its own name, inside its
// folder. "." is allowed (it names the folder itself); ".." never is.
bool IsSafeComponent(const std::string& c)
{
    if (c.empty() || c == ".")
        return true;
    if (c == "..")
        return false;
    for (char ch : c)
        if ((unsigned char)ch < 0x20 || std::strchr("<>\"|?*", ch))
            return false;
    // Windows strips trailing dots and spaces, so "a." would land on "a".
    if (c.back() == '.' || c.back() == ' ')
        return false;
    return !IsDeviceName(c);
}

struct OutputFile
{
    FILE* file = nullptr;
    bool  good = true;
};

size_t WriteChunk(void* opaque, mz_uint64 /*offset*/, const void* data, size_t size)
{
    OutputFile* out = (OutputFile*)opaque;
    if (!out->good)
        return 0;
    if (fwrite(data, 1, size, out->file) != size)
    {
        out->good = false;
        return 0;
    }
    return size;
}

bool SamePath(const fs::path& a, const fs::path& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// Normal form without a trailing separator ("C:\a\b\" and "C:\a\.\b" -> "C:\a\b").
fs::path Normalised(const fs::path& p)
{
    fs::path n = p.lexically_normal();
    if (!n.has_filename() && n.has_relative_path())
        n = n.parent_path();
    return n;
}

UnpackResult Failed(const std::string& sentence)
{
    UnpackResult r;
    r.outcome = UnpackResult::Failed;
    r.error = sentence;
    return r;
}

// An entry's name in the normal form, relative to the install folder, without
// "." components or a trailing separator.
fs::path RelativeName(const std::string& name)
{
    return Normalised(fs::path(Utf8ToWide(name)).make_preferred());
}

// Makes the folders below the install folder one level at a time, so that it
// knows which of them this unpack created (and may later remove).
struct FolderMaker
{
    fs::path                 root;
    std::set<std::wstring>   known;     // relative folders already made or found
    std::vector<std::string> created;
};

void MakeEntryFolders(FolderMaker& maker, const fs::path& relativeFolder)
{
    fs::path relative;
    for (const fs::path& part : relativeFolder)
    {
        if (part == L".")
            continue;
        relative /= part;
        if (!maker.known.insert(relative.wstring()).second)
            continue;
        const fs::path full = maker.root / relative;
        if (PathAttributes(full.wstring()) != INVALID_FILE_ATTRIBUTES)
            continue;
        // A failure shows up as a failed write of the entry itself.
        if (CreateDirectoryW(LongPath(full.wstring()).c_str(), nullptr))
            maker.created.push_back(WideToUtf8(relative.wstring()));
    }
}
} // namespace

bool IsSafeEntryName(const std::string& name)
{
    if (name.empty() || IsSeparator(name[0]) || name.find(':') != std::string::npos)
        return false;
    size_t start = 0;
    while (true)
    {
        size_t end = start;
        while (end < name.size() && !IsSeparator(name[end]))
            end++;
        if (!IsSafeComponent(name.substr(start, end - start)))
            return false;
        if (end == name.size())
            return true;
        start = end + 1;
    }
}

// Nothing here ever writes outside the install folder: every destination is the
// install folder joined with a name that IsSafeEntryName accepted (relative, no
// "..", no drive or stream, nothing Windows would rename or turn into a
// device). The unpack creates only plain folders and plain files, never links,
// so no entry can turn a folder below the install folder into a way out for a
// later entry.
UnpackResult UnpackGameArchive(const std::string& archivePath, const std::string& installDir,
                               const std::string& exeName, InstallJob& job)
{
    // Nobody may write to the archive while it is read, not even one of its
    // own entries that happens to carry its name.
    FILE* archive = _wfsopen(LongPath(Utf8ToWide(archivePath)).c_str(), L"rb", _SH_DENYWR);
    if (!archive)
        return Failed("Couldn't open the download (an antivirus may be scanning it) - try again.");
    _fseeki64(archive, 0, SEEK_END);
    long long archiveSize = _ftelli64(archive);
    _fseeki64(archive, 0, SEEK_SET);

    mz_zip_archive zip;
    mz_zip_zero_struct(&zip);
    if (archiveSize <= 0 || !mz_zip_reader_init_cfile(&zip, archive, (mz_uint64)archiveSize, 0))
    {
        fclose(archive);
        return Failed("The download isn't a readable zip.");
    }

    mz_uint count = mz_zip_reader_get_num_files(&zip);

    // Pass 1: total size, and the folder that holds the executable. Only an
    // entry that will really be written may name that folder.
    uint64_t total = 0;
    bool haveCandidate = false;
    std::string prefix;
    for (mz_uint i = 0; i < count; i++)
    {
        mz_zip_archive_file_stat st;
        if (!mz_zip_reader_file_stat(&zip, i, &st))
            continue;
        total += st.m_uncomp_size;
        std::string name = st.m_filename;
        size_t cut = name.find_last_of("/\\");
        std::string finalPart = cut == std::string::npos ? name : name.substr(cut + 1);
        std::string folderPart = cut == std::string::npos ? std::string() : name.substr(0, cut);
        if (!EqualsIgnoringAsciiCase(finalPart, exeName) || !IsSafeEntryName(name)
            || mz_zip_reader_is_file_a_directory(&zip, i))
            continue;
        // First match wins, unless it sits at the root or a later match is
        // shallower than its folder.
        if (!haveCandidate || prefix.empty() || name.size() < prefix.size())
        {
            haveCandidate = true;
            prefix = folderPart;
        }
    }
    job.bytesTotal.store(total);

    // Pass 2: extraction. Output goes through one large buffer so the decoder's
    // small chunks reach the disk as few big writes.
    const fs::path installPath(Utf8ToWide(installDir));
    std::vector<char> writeBuffer(1 << 20);
    std::string error;
    UnpackResult r;
    FolderMaker folders;
    folders.root = installPath;
    MakeFolders(installPath.wstring());
    for (mz_uint i = 0; i < count && error.empty() && !job.cancel.load(); i++)
    {
        mz_zip_archive_file_stat st;
        if (!mz_zip_reader_file_stat(&zip, i, &st))
        {
            error = "The download is damaged.";
            break;
        }
        std::string name = st.m_filename;
        if (!IsSafeEntryName(name))
            continue;

        const fs::path relative = RelativeName(name);
        if (mz_zip_reader_is_file_a_directory(&zip, i))
        {
            MakeEntryFolders(folders, relative);
            continue;
        }
        MakeEntryFolders(folders, relative.parent_path());
        const fs::path dest = installPath / relative;

        OutputFile out;
        out.file = _wfopen(LongPath(dest.wstring()).c_str(), L"wb");
        if (!out.file)
        {
            error = "Couldn't write " + WideToUtf8(dest.wstring()) + " - is the game still running?";
            break;
        }
        setvbuf(out.file, writeBuffer.data(), _IOFBF, writeBuffer.size());

        r.createdFiles.push_back(WideToUtf8(relative.wstring()));
        bool extracted = mz_zip_reader_extract_to_callback(&zip, i, WriteChunk, &out, 0) && out.good;
        job.bytesDone.fetch_add(st.m_uncomp_size);
        // The last buffered bytes reach the disk only here; a failed flush is a
        // failed write too.
        if (fclose(out.file) != 0)
            extracted = false;
        if (!extracted)
            error = "Couldn't unpack " + name + " - is the disk full?";
    }

    mz_zip_reader_end(&zip);
    fclose(archive);

    r.createdFolders = std::move(folders.created);
    if (job.cancel.load())
    {
        r.outcome = UnpackResult::Cancelled;
        return r;
    }
    if (!error.empty())
    {
        r.error = error;
        return r;
    }

    fs::path gameDir = prefix.empty() ? installPath : Normalised(installPath / fs::path(Utf8ToWide(prefix)));
    if (PathAttributes((gameDir / fs::path(Utf8ToWide(exeName))).wstring()) == INVALID_FILE_ATTRIBUTES)
    {
        r.error = "The download has no " + exeName + " in it.";
        return r;
    }

    // Only a game folder strictly below the install folder gets the fixed name;
    // the install folder itself holds the launcher and is what the registry
    // and the shortcuts name, so it never moves. Nor does a folder that was
    // there before the unpack: it may hold the user's own files.
    const fs::path relativeGameDir = RelativeName(prefix);
    const bool madeGameDir = std::find(r.createdFolders.begin(), r.createdFolders.end(),
                                       WideToUtf8(relativeGameDir.wstring())) != r.createdFolders.end();
    if (!prefix.empty() && madeGameDir && !SamePath(gameDir, Normalised(installPath)) &&
        gameDir.filename() != L"Ostrel")
    {
        fs::path target = gameDir.parent_path() / L"Ostrel";
        if (PathAttributes(target.wstring()) == INVALID_FILE_ATTRIBUTES &&
            MoveFileExW(LongPath(gameDir.wstring()).c_str(), LongPath(target.wstring()).c_str(), 0))
        {
            // What was made below the old name now lives below the new one.
            const std::wstring from = relativeGameDir.wstring(), to = (relativeGameDir.parent_path() / L"Ostrel").wstring();
            for (std::vector<std::string>* list : {&r.createdFiles, &r.createdFolders})
                for (std::string& item : *list)
                {
                    std::wstring w = Utf8ToWide(item);
                    if (w.size() >= from.size() && w.compare(0, from.size(), from) == 0 &&
                        (w.size() == from.size() || w[from.size()] == L'\\'))
                        item = WideToUtf8(to + w.substr(from.size()));
                }
            gameDir = target;
        }
    }

    r.outcome = UnpackResult::Unpacked;
    r.gameDir = WideToUtf8(gameDir.wstring());
    return r;
}
