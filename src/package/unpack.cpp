#include "package/unpack.h"

#include "package/entry_name.h"
#include "package/game_job.h"
#include "util/atomic_file.h"
#include "util/file_identity.h"
#include "util/handles.h"
#include "util/long_path.h"
#include "util/text.h"

#include <miniz.h>
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
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

// Ordinal, case-insensitive order of paths, as the file system tells names
// apart: two entries that differ only in letter case land on one file.
struct IgnoreCaseLess
{
    bool operator()(const std::wstring& a, const std::wstring& b) const
    {
        return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) == CSTR_LESS_THAN;
    }
};

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

using FileWriters = std::map<std::wstring, size_t, IgnoreCaseLess>;

// `earlierFiles` are the destinations of the entries before this one. The
// folders are made before any file is written, so a folder where an earlier
// entry puts a file is left out: on one thread that file would already be
// there and the folder could not be made.
void MakeEntryFolders(FolderMaker& maker, const fs::path& relativeFolder, const FileWriters& earlierFiles)
{
    fs::path relative;
    for (const fs::path& part : relativeFolder)
    {
        if (part == L".")
            continue;
        relative /= part;
        if (!maker.known.insert(relative.wstring()).second)
            continue;
        if (earlierFiles.count(relative.wstring()))
            continue;
        const fs::path full = maker.root / relative;
        if (PathAttributes(full.wstring()) != INVALID_FILE_ATTRIBUTES)
            continue;
        // A failure shows up as a failed write of the entry itself.
        if (CreateDirectoryW(LongPath(full.wstring()).c_str(), nullptr))
            maker.created.push_back(WideToUtf8(relative.wstring()));
    }
}

// The archive's directory, read once on the calling thread.
struct ArchiveReader
{
    UniqueFile     file;
    mz_zip_archive zip;
    bool           ready = false;

    ArchiveReader() { mz_zip_zero_struct(&zip); }
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;
    ~ArchiveReader()
    {
        if (ready)
            mz_zip_reader_end(&zip);
    }
};

// Reads `size` bytes at `offset`. Every reader has a handle of its own, so the
// file pointer is never shared. Moving it first, rather than passing the
// position in an OVERLAPPED, spares Wine a server round trip on every read.
size_t ReadArchiveAt(void* opaque, mz_uint64 offset, void* buffer, size_t size)
{
    HANDLE file = (HANDLE)opaque;
    LARGE_INTEGER position = {};
    position.QuadPart = (LONGLONG)offset;
    if (offset > (uint64_t)LLONG_MAX || !SetFilePointerEx(file, position, nullptr, FILE_BEGIN))
        return 0;
    size_t done = 0;
    while (done < size)
    {
        DWORD got = 0;
        if (!ReadFile(file, (char*)buffer + done, (DWORD)std::min<size_t>(size - done, 1u << 30), &got, nullptr) ||
            got == 0)
            break;
        done += got;
    }
    return done;
}

enum OpenOutcome
{
    Open_Ready,
    Open_NoFile,
    Open_NotZip,
};

// Nobody may write to the archive while it is read, not even one of its own
// entries that happens to carry its name: no write sharing.
HANDLE OpenArchiveFile(const std::wstring& path)
{
    return CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

OpenOutcome OpenArchive(const std::wstring& path, ArchiveReader& reader, uint64_t& size)
{
    reader.file.reset(OpenArchiveFile(path));
    if (!reader.file)
        return Open_NoFile;
    LARGE_INTEGER length = {};
    if (!GetFileSizeEx(reader.file.get(), &length) || length.QuadPart <= 0)
        return Open_NotZip;
    size = (uint64_t)length.QuadPart;
    reader.zip.m_pRead = ReadArchiveAt;
    reader.zip.m_pIO_opaque = reader.file.get();
    if (!mz_zip_reader_init(&reader.zip, size, 0))
        return Open_NotZip;
    reader.ready = true;
    return Open_Ready;
}

enum EntryKind
{
    Entry_Skip,      // unsafe name, or past the end of what is unpacked
    Entry_Folder,
    Entry_File,
    Entry_Damaged,   // its record cannot be read: the unpack stops here
};

// What the first pass learnt about one entry; read-only once the workers run.
struct PlannedEntry
{
    EntryKind   kind = Entry_Skip;
    std::string name;           // as the archive spells it
    fs::path    relative;       // destination below the install folder
    uint64_t    size = 0;       // uncompressed, as the archive's directory says
    uint64_t    packedSize = 0;
    uint64_t    headerOffset = 0;   // of its local header
    uint32_t    crc = 0;
    uint16_t    method = 0;
    uint16_t    flags = 0;
    int64_t     after = -1;     // an earlier entry with the same destination: it goes first
    bool        awaited = false;
};

// Written only by the worker that took the entry.
struct EntryOutcome
{
    bool        wrote = false;  // the destination was created or truncated
    std::string error;
};

struct UnpackWork
{
    std::vector<PlannedEntry> plan;
    std::vector<EntryOutcome> outcomes;
    size_t                    end = 0;      // entries from here on are never started
    std::wstring              archivePath;
    uint64_t                  archiveSize = 0;
    fs::path                  installPath;
    InstallJob*               job = nullptr;

    std::atomic<size_t>       next{0};      // the next entry to take, in archive order
    // The first entry in archive order that failed so far; entries after it
    // are not started.
    std::atomic<size_t>       firstFailure{SIZE_MAX};

    // Entries that another one waits for report their end here.
    std::mutex                doneMutex;
    std::condition_variable   doneChanged;
    std::vector<char>         done;
};

// What one worker owns: a handle on the archive of its own (no shared file
// position), an inflate state and its buffers. Memory stays at these few
// MiB per worker whatever the size of an entry.
struct Worker
{
    UniqueFile        archive;
    z_stream          inflater = {};
    bool              inflaterReady = false;
    std::vector<char> packed;   // compressed bytes as read
    std::vector<char> plain;    // bytes on their way to the file

    Worker() = default;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker()
    {
        if (inflaterReady)
            inflateEnd(&inflater);
    }
};

constexpr size_t kPackedChunk = 256 << 10;
constexpr size_t kPlainChunk = 1 << 20;

bool AllocateBuffers(Worker& worker)
{
    try
    {
        worker.packed.resize(kPackedChunk);
        worker.plain.resize(kPlainChunk);
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    return true;
}

enum ExtractOutcome
{
    Extract_Done,
    Extract_Failed,
    Extract_Cancelled,
};

uint16_t Le16(const unsigned char* p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t Le32(const unsigned char* p)
{
    return (uint32_t)Le16(p) | ((uint32_t)Le16(p + 2) << 16);
}

// Where the entry's data begins: after its local header, whose name and extra
// field may differ in length from the directory's copy. False when the
// header is not there or the data would run past the end of the archive.
bool FindEntryData(HANDLE archive, uint64_t archiveSize, const PlannedEntry& entry, uint64_t& dataOffset)
{
    constexpr size_t kLocalHeaderSize = 30;
    unsigned char header[kLocalHeaderSize];
    if (ReadArchiveAt(archive, entry.headerOffset, header, sizeof(header)) != sizeof(header))
        return false;
    if (Le32(header) != 0x04034b50)
        return false;
    dataOffset = entry.headerOffset + kLocalHeaderSize + Le16(header + 26) + Le16(header + 28);
    return dataOffset <= archiveSize && entry.packedSize <= archiveSize - dataOffset;
}

// Hands `size` bytes of the entry to its file: CRC, write, progress.
bool Emit(HANDLE file, const char* data, size_t size, uint32_t& crc, InstallJob& job, uint64_t& written)
{
    crc = (uint32_t)crc32_z(crc, (const Bytef*)data, size);
    if (WriteAll(file, data, size) != ERROR_SUCCESS)
        return false;
    written += size;
    job.bytesDone.fetch_add(size);
    return true;
}

// Streams one entry into the open file a chunk at a time, whatever its size;
// progress grows with every chunk written, and cancel is seen between chunks.
// The entry is whole only when exactly its size came out and the CRC-32 of
// those bytes is the one the archive's directory gives.
ExtractOutcome ExtractEntry(Worker& worker, uint64_t archiveSize, const PlannedEntry& entry, HANDLE file,
                            InstallJob& job, uint64_t& written)
{
    // An entry without data is an empty file, whatever its method says.
    if (entry.packedSize == 0)
        return Extract_Done;
    // Encrypted entries and patch data cannot be unpacked; nor can methods
    // other than stored and deflated. In both, more bytes than the directory
    // announces is damage, and nothing past the announced size is written.
    constexpr uint16_t kEncrypted = 1, kPatchData = 32, kStrongEncryption = 64;
    if (entry.flags & (kEncrypted | kPatchData | kStrongEncryption))
        return Extract_Failed;
    if (entry.method != 0 && entry.method != MZ_DEFLATED)
        return Extract_Failed;
    uint64_t at = 0;
    if (!FindEntryData(worker.archive.get(), archiveSize, entry, at))
        return Extract_Failed;
    const uint64_t end = at + entry.packedSize;
    uint32_t crc = 0;

    if (entry.method == 0)
    {
        // Stored: read straight into the write buffer.
        while (at < end)
        {
            if (job.cancel.load())
                return Extract_Cancelled;
            const size_t n = (size_t)std::min<uint64_t>(end - at, worker.plain.size());
            if (written + n > entry.size)
                return Extract_Failed;
            if (ReadArchiveAt(worker.archive.get(), at, worker.plain.data(), n) != n)
                return Extract_Failed;
            at += n;
            if (!Emit(file, worker.plain.data(), n, crc, job, written))
                return Extract_Failed;
        }
        return written == entry.size && crc == entry.crc ? Extract_Done : Extract_Failed;
    }

    // Deflated: raw deflate (no zlib header), inflated a chunk at a time.
    z_stream& z = worker.inflater;
    if (!worker.inflaterReady)
    {
        z = {};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
            return Extract_Failed;
        worker.inflaterReady = true;
    }
    else if (inflateReset(&z) != Z_OK)
        return Extract_Failed;
    z.next_in = nullptr;
    z.avail_in = 0;
    bool finished = false;
    while (!finished)
    {
        if (job.cancel.load())
            return Extract_Cancelled;
        z.next_out = (Bytef*)worker.plain.data();
        z.avail_out = (uInt)worker.plain.size();
        // Fill the write buffer, reading compressed bytes as they are needed.
        while (z.avail_out > 0)
        {
            if (z.avail_in == 0 && at < end)
            {
                const size_t n = (size_t)std::min<uint64_t>(end - at, worker.packed.size());
                if (ReadArchiveAt(worker.archive.get(), at, worker.packed.data(), n) != n)
                    return Extract_Failed;
                at += n;
                z.next_in = (Bytef*)worker.packed.data();
                z.avail_in = (uInt)n;
            }
            const int status = inflate(&z, Z_NO_FLUSH);
            if (status == Z_STREAM_END)
            {
                finished = true;
                break;
            }
            // No progress with all the entry's data given: the stream is cut short.
            if (status == Z_BUF_ERROR && z.avail_in == 0 && at == end)
                return Extract_Failed;
            if (status != Z_OK && status != Z_BUF_ERROR)
                return Extract_Failed;
        }
        const size_t n = worker.plain.size() - z.avail_out;
        if (written + n > entry.size)
            return Extract_Failed;
        if (n > 0 && !Emit(file, worker.plain.data(), n, crc, job, written))
            return Extract_Failed;
    }
    return written == entry.size && crc == entry.crc ? Extract_Done : Extract_Failed;
}

void Fail(UnpackWork& work, size_t index, const std::string& sentence)
{
    work.outcomes[index].error = sentence;
    size_t seen = work.firstFailure.load();
    while (index < seen && !work.firstFailure.compare_exchange_weak(seen, index))
    {
    }
}

// A failure counts only for the entries after it: an earlier entry that
// another worker has taken is still written, as it would be on one thread.
bool FailedBefore(const UnpackWork& work, size_t index)
{
    return work.firstFailure.load() < index;
}

// False when cancel came first.
bool WaitForEntry(UnpackWork& work, size_t index)
{
    std::unique_lock<std::mutex> lock(work.doneMutex);
    while (!work.done[index])
    {
        if (work.job->cancel.load())
            return false;
        work.doneChanged.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

// Most destinations are new files: made with CREATE_NEW, they are never
// truncated, and truncating even an empty file makes ext4 start writing it
// out at its close. Whatever is in the way (an earlier file, a folder, a file
// held open) goes to CREATE_ALWAYS, whose outcome decides, as it always did.
HANDLE CreateDestination(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        return file;
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

void UnpackEntry(UnpackWork& work, Worker& worker, size_t index)
{
    const PlannedEntry& entry = work.plan[index];
    InstallJob& job = *work.job;
    if (entry.kind == Entry_Damaged)
    {
        Fail(work, index, "The download is damaged.");
        return;
    }
    if (entry.kind != Entry_File)
        return;
    // Two entries for one file are written one after the other, in archive
    // order, so the later one wins as it would on one thread.
    if (entry.after >= 0 && !WaitForEntry(work, (size_t)entry.after))
        return;
    // A failure of an earlier entry ends the unpack there.
    if (FailedBefore(work, index) || job.cancel.load())
        return;

    const fs::path dest = work.installPath / entry.relative;
    UniqueFile file(CreateDestination(LongPath(dest.wstring())));
    if (!file)
    {
        Fail(work, index, "Couldn't write " + WideToUtf8(dest.wstring()) + " - is the game still running?");
        return;
    }
    work.outcomes[index].wrote = true;
    uint64_t written = 0;
    ExtractOutcome extracted = ExtractEntry(worker, work.archiveSize, entry, file.get(), job, written);
    // Closed here, on this worker: on Windows an antivirus scans a new file
    // while it is being closed.
    file.reset();
    if (extracted == Extract_Cancelled)
        return;
    // A whole entry counts in full once it is over, also when it failed, so
    // the bar ends where the total is.
    if (entry.size > written)
        job.bytesDone.fetch_add(entry.size - written);
    if (extracted == Extract_Failed)
        Fail(work, index, "Couldn't unpack " + entry.name + " - is the disk full?");
}

void MarkDone(UnpackWork& work, size_t index)
{
    if (!work.plan[index].awaited)
        return;
    {
        std::lock_guard<std::mutex> lock(work.doneMutex);
        work.done[index] = 1;
    }
    work.doneChanged.notify_all();
}

// Takes entries in archive order until none is left, one fails or cancel is
// raised. Every entry it takes it ends (and marks), so a worker waiting for
// an earlier entry never waits for nothing.
void RunWorker(UnpackWork& work, Worker& worker)
{
    while (!work.job->cancel.load())
    {
        const size_t index = work.next.fetch_add(1);
        if (index >= work.end || FailedBefore(work, index))
            return;
        UnpackEntry(work, worker, index);
        MarkDone(work, index);
    }
}

void RunHelperWorker(UnpackWork& work)
{
    // Without a handle or buffers of its own this worker takes nothing; the
    // others do the work.
    Worker worker;
    worker.archive.reset(OpenArchiveFile(work.archivePath));
    if (!worker.archive || !AllocateBuffers(worker))
        return;
    RunWorker(work, worker);
}

// At least two workers, one per core, at most four: the disk and Wine's
// file layer gain nothing from more.
unsigned WorkerCount(size_t files)
{
    unsigned n = std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
    return (unsigned)std::max<size_t>(1, std::min<size_t>(n, files));
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
//
// The entries are written by several workers at once, each taking the next
// entry in archive order. The folders are all made first, on this thread, in
// archive order; the outcome is the one a single thread would reach: the
// first failing entry in archive order is the one reported, once it has
// failed no later entry is started (one that another worker had already
// begun runs to its end), and of two entries for one file the later one wins.
UnpackResult UnpackGameArchive(const std::string& archivePath, const std::string& installDir,
                               const std::string& exeName, InstallJob& job)
{
    UnpackWork work;
    work.archivePath = Utf8ToWide(archivePath);
    work.installPath = fs::path(Utf8ToWide(installDir));
    work.job = &job;

    ArchiveReader reader;
    uint64_t archiveSize = 0;
    switch (OpenArchive(work.archivePath, reader, archiveSize))
    {
    case Open_NoFile:
        return Failed("Couldn't open the download (an antivirus may be scanning it) - try again.");
    case Open_NotZip:
        return Failed("The download isn't a readable zip.");
    case Open_Ready:
        break;
    }

    const mz_uint count = mz_zip_reader_get_num_files(&reader.zip);
    // The names as stored, with their extra fields: the reader keeps its own
    // copy of the central directory to itself.
    std::string directory(mz_zip_get_central_dir_size(&reader.zip), '\0');
    if (mz_zip_read_archive_data(&reader.zip, reader.zip.m_central_directory_file_ofs, directory.data(),
                                 directory.size()) != directory.size())
        directory.clear();

    // Pass 1: total size, the folder that holds the executable, and the plan.
    // Only an entry that will really be written may name that folder.
    uint64_t total = 0;
    bool haveCandidate = false;
    std::string prefix;
    work.plan.resize(count);
    work.end = count;
    for (mz_uint i = 0; i < count; i++)
    {
        PlannedEntry& entry = work.plan[i];
        mz_zip_archive_file_stat st;
        if (!mz_zip_reader_file_stat(&reader.zip, i, &st))
        {
            // Nothing after it is unpacked.
            if (i < work.end)
            {
                entry.kind = Entry_Damaged;
                work.end = i + 1;
            }
            continue;
        }
        total += st.m_uncomp_size;
        std::string name = CentralEntryName(directory, st.m_central_dir_ofs, st.m_filename);
        const bool folder = mz_zip_reader_is_file_a_directory(&reader.zip, i);
        const bool safe = IsSafeEntryName(name);
        if (i < work.end && safe)
        {
            entry.kind = folder ? Entry_Folder : Entry_File;
            entry.name = name;
            entry.relative = RelativeName(name);
            entry.size = st.m_uncomp_size;
            entry.packedSize = st.m_comp_size;
            entry.headerOffset = st.m_local_header_ofs;
            entry.crc = st.m_crc32;
            entry.method = st.m_method;
            entry.flags = st.m_bit_flag;
        }
        size_t cut = name.find_last_of("/\\");
        std::string finalPart = cut == std::string::npos ? name : name.substr(cut + 1);
        std::string folderPart = cut == std::string::npos ? std::string() : name.substr(0, cut);
        if (!EqualsIgnoringAsciiCase(finalPart, exeName) || !safe || folder)
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

    // The folders, in archive order, and which entries write the same file.
    FolderMaker folders;
    folders.root = work.installPath;
    MakeFolders(work.installPath.wstring());
    FileWriters lastWriter;
    size_t files = 0;
    for (size_t i = 0; i < work.end && !job.cancel.load(); i++)
    {
        PlannedEntry& entry = work.plan[i];
        if (entry.kind == Entry_Folder)
            MakeEntryFolders(folders, entry.relative, lastWriter);
        if (entry.kind != Entry_File)
            continue;
        MakeEntryFolders(folders, entry.relative.parent_path(), lastWriter);
        auto [at, added] = lastWriter.try_emplace(entry.relative.wstring(), i);
        if (!added)
        {
            entry.after = (int64_t)at->second;
            work.plan[at->second].awaited = true;
            at->second = i;
        }
        files++;
    }
    work.outcomes.resize(count);
    work.done.assign(count, 0);

    // Pass 2: the workers. This thread is one of them; a helper that cannot
    // be started only makes the unpack slower.
    // This thread's worker reads through the handle the directory was read
    // with.
    Worker worker;
    if (!AllocateBuffers(worker))
        throw std::bad_alloc();
    mz_zip_reader_end(&reader.zip);
    reader.ready = false;
    worker.archive = std::move(reader.file);
    work.archiveSize = archiveSize;
    std::vector<std::thread> helpers;
    const unsigned workers = WorkerCount(files);
    helpers.reserve(workers);
    for (unsigned k = 1; k < workers; k++)
    {
        try
        {
            helpers.emplace_back(RunHelperWorker, std::ref(work));
        }
        catch (const std::system_error&)
        {
            break;
        }
    }
    RunWorker(work, worker);
    for (std::thread& t : helpers)
        t.join();

    UnpackResult r;
    r.createdFolders = std::move(folders.created);
    std::string error;
    std::set<std::wstring, IgnoreCaseLess> listed;
    for (size_t i = 0; i < work.end; i++)
    {
        if (error.empty())
            error = work.outcomes[i].error;
        if (work.outcomes[i].wrote && listed.insert(work.plan[i].relative.wstring()).second)
            r.createdFiles.push_back(WideToUtf8(work.plan[i].relative.wstring()));
    }

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

    fs::path gameDir = prefix.empty() ? work.installPath : Normalised(work.installPath / fs::path(Utf8ToWide(prefix)));
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
    bool madeGameDir = false;
    for (const std::string& made : r.createdFolders)
        madeGameDir = madeGameDir || PathsEqualIgnoreCase(Utf8ToWide(made), relativeGameDir.wstring());
    if (!prefix.empty() && madeGameDir && !PathsEqualIgnoreCase(gameDir.wstring(), Normalised(work.installPath).wstring()) &&
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
                    if (PathStartsWithIgnoreCase(w, from) && (w.size() == from.size() || w[from.size()] == L'\\'))
                        item = WideToUtf8(to + w.substr(from.size()));
                }
            gameDir = target;
        }
    }

    r.outcome = UnpackResult::Unpacked;
    r.gameDir = WideToUtf8(gameDir.wstring());
    return r;
}
