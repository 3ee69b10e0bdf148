#include "package/unpack.h"

#include "package/archive_source.h"
#include "package/entry_name.h"
#include "package/game_job.h"
#include "state/installed_layout.h"
#include "util/atomic_file.h"
#include "util/file_identity.h"
#include "util/handles.h"
#include "util/long_path.h"
#include "util/text.h"
#include "util/windows_error.h"

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
#include <deque>
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

using IgnoreCaseSet = std::set<std::wstring, IgnoreCaseLess>;

// Normal form without a trailing separator ("C:\a\b\" and "C:\a\.\b" -> "C:\a\b").
fs::path Normalised(const fs::path& p)
{
    fs::path n = p.lexically_normal();
    return fs::path(WithoutTrailingSeparators(n.wstring()));
}

// An entry's name in the normal form, relative to its root, without "."
// components or a trailing separator.
fs::path RelativeName(const std::string& name)
{
    fs::path n = Normalised(fs::path(Utf8ToWide(name)).make_preferred());
    return n == L"." ? fs::path() : n;
}

UnpackResult Failed(const std::string& sentence)
{
    UnpackResult r;
    r.outcome = UnpackResult::Failed;
    r.error = sentence;
    return r;
}

uint16_t Le16(const unsigned char* p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t Le32(const unsigned char* p)
{
    return (uint32_t)Le16(p) | ((uint32_t)Le16(p + 2) << 16);
}

uint64_t Le64(const unsigned char* p)
{
    return (uint64_t)Le32(p) | ((uint64_t)Le32(p + 4) << 32);
}

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr size_t kLocalHeaderSize = 30;
constexpr uint16_t kEncrypted = 1, kDataDescriptor = 8, kPatchData = 32, kStrongEncryption = 64;
constexpr uint16_t kTrustedFlags = kEncrypted | kPatchData | kStrongEncryption;

// Makes the folders below the root one level at a time, so that it knows
// which of them it created.
struct FolderMaker
{
    fs::path               root;
    std::set<std::wstring> known;     // relative folders already made or found
};

using FileWriters = std::map<std::wstring, size_t, IgnoreCaseLess>;

// `earlierFiles` are the destinations of the entries before this one. The
// folders are made before a file is written, so a folder where an earlier
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
        CreateDirectoryW(LongPath(full.wstring()).c_str(), nullptr);
    }
}

enum EntryKind
{
    Entry_Skip,      // unsafe name, not unpacked here, or past the end of what is unpacked
    Entry_Folder,
    Entry_File,
    Entry_Damaged,   // its record cannot be read: the unpack stops here
};

// One entry as a local header or the central directory describes it;
// read-only once published to the workers.
struct PlannedEntry
{
    EntryKind   kind = Entry_Skip;
    std::string name;           // decoded (ZipEntryName)
    fs::path    relative;       // destination below the root
    uint64_t    size = 0;       // uncompressed
    uint64_t    packedSize = 0;
    uint64_t    headerOffset = 0;   // of its local header
    uint32_t    crc = 0;
    uint16_t    method = 0;
    uint16_t    flags = 0;
    int64_t     after = -1;     // an earlier entry with the same destination: it goes first
};

// Written only by the worker that took the entry.
struct EntryOutcome
{
    bool        wrote = false;  // the destination was created or truncated
    bool        whole = false;  // written completely, size and CRC-32 as described
    std::string error;
};

// The entries and the workers that write them. The plan grows while a
// stream publishes entries; the classic pass publishes all of them at once.
struct UnpackWork
{
    ArchiveSource             source;
    fs::path                  root;         // where entries are written: the staging folder
    InstallJob*               job = nullptr;
    std::atomic<bool>         stop{false};  // the stream is abandoned
    // Where written bytes count: the job's own counter, or the stream's until
    // the unpack phase begins.
    std::atomic<std::atomic<uint64_t>*> progress{nullptr};

    std::mutex                mutex;        // guards the plan's growth, `next`, `closed` and `done`
    std::condition_variable   changed;
    std::deque<PlannedEntry>  plan;
    std::deque<EntryOutcome>  outcomes;
    std::deque<char>          done;
    size_t                    next = 0;     // the next entry to take, in archive order
    bool                      closed = false;   // no more entries will come
    // The first entry in archive order that failed so far; entries after it
    // are not started.
    std::atomic<size_t>       firstFailure{SIZE_MAX};

    // The planner's own (the thread that publishes).
    FolderMaker               folders;
    FileWriters               lastWriter;
};

bool Stopped(const UnpackWork& work)
{
    return work.stop.load() || work.job->cancel.load();
}

// Adds an entry for the workers, in archive order: its folders first, and
// the entry it must wait for when both write one file.
void Publish(UnpackWork& work, PlannedEntry entry)
{
    const size_t index = work.plan.size();
    if (entry.kind == Entry_Folder)
        MakeEntryFolders(work.folders, entry.relative, work.lastWriter);
    if (entry.kind == Entry_File)
    {
        MakeEntryFolders(work.folders, entry.relative.parent_path(), work.lastWriter);
        auto [at, added] = work.lastWriter.try_emplace(entry.relative.wstring(), index);
        if (!added)
        {
            entry.after = (int64_t)at->second;
            at->second = index;
        }
    }
    {
        std::lock_guard<std::mutex> lock(work.mutex);
        work.plan.push_back(std::move(entry));
        work.outcomes.emplace_back();
        work.done.push_back(0);
    }
    work.changed.notify_all();
}

void Close(UnpackWork& work)
{
    {
        std::lock_guard<std::mutex> lock(work.mutex);
        work.closed = true;
    }
    work.changed.notify_all();
}

// What one worker owns: a view of the archive of its own (no shared file
// position), an inflate state and its buffers. Memory stays at these few
// MiB per worker whatever the size of an entry.
struct Worker
{
    ArchiveCursor     archive;
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

// What came of unpacking one entry; the sentence says which (EntryFailure).
enum ExtractOutcome
{
    Extract_Done,
    Extract_Cancelled,
    Extract_Damaged,        // the archive's bytes don't give what its record says
    Extract_Unsupported,    // a method or a kind of data this setup cannot unpack
    Extract_Encrypted,
    Extract_WriteFailed,    // the system refused the write; its code says why
};

// The method's name for the person who reports it (names as zip tools show them).
std::string MethodName(uint16_t method)
{
    switch (method)
    {
    case 1: return "Shrink";
    case 2: case 3: case 4: case 5: return "Reduce";
    case 6: return "Implode";
    case 9: return "Deflate64";
    case 10: return "PKWARE Implode";
    case 12: return "BZip2";
    case 14: return "LZMA";
    case 18: return "IBM TERSE";
    case 19: return "IBM LZ77";
    case 20: case 93: return "Zstandard";
    case 94: return "MP3";
    case 95: return "XZ";
    case 96: return "JPEG";
    case 97: return "WavPack";
    case 98: return "PPMd";
    default: return "method " + std::to_string(method);
    }
}

// Whether an entry with data can be unpacked at all, as its record says:
// stored or deflated, not encrypted (AES marks itself as method 99), not
// patch data.
ExtractOutcome Readability(const PlannedEntry& entry)
{
    constexpr uint16_t kAesMethod = 99;
    if (entry.packedSize == 0)
        return Extract_Done;
    if ((entry.flags & (kEncrypted | kStrongEncryption)) || entry.method == kAesMethod)
        return Extract_Encrypted;
    if ((entry.flags & kPatchData) || (entry.method != 0 && entry.method != MZ_DEFLATED))
        return Extract_Unsupported;
    return Extract_Done;
}

// One sentence for each way an entry can fail that the setup can tell apart.
// The archive's digest was right, so bad bytes are the publisher's to mend.
std::string EntryFailure(ExtractOutcome outcome, const PlannedEntry& entry, DWORD code)
{
    switch (outcome)
    {
    case Extract_Unsupported:
        return "The game archive uses a compression method Setup can't unpack (" +
               ((entry.flags & kPatchData) ? std::string("patch data") : MethodName(entry.method)) +
               ") - please report this to Ostrel.";
    case Extract_Encrypted:
        return "The game archive holds encrypted files Setup can't unpack (" + entry.name +
               ") - please report this to Ostrel.";
    case Extract_WriteFailed:
        if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)
            return "The disk is full: Setup couldn't unpack " + entry.name + " - free some space and try again.";
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
            return "Couldn't write " + entry.name + " - is the game still running?";
        if (code == ERROR_ACCESS_DENIED)
            return "Couldn't write " + entry.name + " (" + WindowsErrorText(code) +
                   ") - an antivirus or the folder's permissions may be in the way.";
        return "Couldn't write " + entry.name + " (" + WindowsErrorText(code) + ").";
    default:
        return "The game archive is damaged: " + entry.name + " doesn't unpack correctly - please report this to Ostrel.";
    }
}

// Where the entry's data begins: after its local header, whose name and extra
// field may differ in length from the directory's copy. False when the
// header is not there or the data would run past what is there of the archive.
bool FindEntryData(ArchiveCursor& archive, const PlannedEntry& entry, uint64_t& dataOffset)
{
    unsigned char header[kLocalHeaderSize];
    if (ReadArchive(archive, entry.headerOffset, header, sizeof(header)) != sizeof(header))
        return false;
    if (Le32(header) != kLocalHeaderSignature)
        return false;
    const uint64_t there = ArchiveAvailable(archive);
    dataOffset = entry.headerOffset + kLocalHeaderSize + Le16(header + 26) + Le16(header + 28);
    return dataOffset <= there && entry.packedSize <= there - dataOffset;
}

// Hands `size` bytes of the entry to its file: CRC, write, progress.
// ERROR_SUCCESS or the system's code.
DWORD Emit(UnpackWork& work, HANDLE file, const char* data, size_t size, uint32_t& crc, uint64_t& written)
{
    crc = (uint32_t)crc32_z(crc, (const Bytef*)data, size);
    const DWORD code = WriteAll(file, data, size);
    if (code != ERROR_SUCCESS)
        return code;
    written += size;
    work.progress.load()->fetch_add(size);
    return ERROR_SUCCESS;
}

// Streams one entry into the open file a chunk at a time, whatever its size;
// progress grows with every chunk written, and cancel is seen between chunks.
// The entry is whole only when exactly its size came out and the CRC-32 of
// those bytes is the one its record gives.
ExtractOutcome ExtractEntry(UnpackWork& work, Worker& worker, const PlannedEntry& entry, HANDLE file, uint64_t& written,
                            DWORD& code)
{
    // An entry without data is an empty file, whatever its method says.
    if (entry.packedSize == 0)
        return Extract_Done;
    // Encrypted entries, patch data and methods other than stored and
    // deflated cannot be unpacked. More bytes than the record announces is
    // damage, and nothing past the announced size is written.
    const ExtractOutcome readable = Readability(entry);
    if (readable != Extract_Done)
        return readable;
    uint64_t at = 0;
    if (!FindEntryData(worker.archive, entry, at))
        return Extract_Damaged;
    const uint64_t end = at + entry.packedSize;
    uint32_t crc = 0;

    if (entry.method == 0)
    {
        // Stored: read straight into the write buffer.
        while (at < end)
        {
            if (Stopped(work))
                return Extract_Cancelled;
            const size_t n = (size_t)std::min<uint64_t>(end - at, worker.plain.size());
            if (written + n > entry.size)
                return Extract_Damaged;
            if (ReadArchive(worker.archive, at, worker.plain.data(), n) != n)
                return Extract_Damaged;
            at += n;
            if ((code = Emit(work, file, worker.plain.data(), n, crc, written)) != ERROR_SUCCESS)
                return Extract_WriteFailed;
        }
        return written == entry.size && crc == entry.crc ? Extract_Done : Extract_Damaged;
    }

    // Deflated: raw deflate (no zlib header), inflated a chunk at a time.
    z_stream& z = worker.inflater;
    if (!worker.inflaterReady)
    {
        z = {};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        {
            code = ERROR_NOT_ENOUGH_MEMORY;
            return Extract_WriteFailed;
        }
        worker.inflaterReady = true;
    }
    else if (inflateReset(&z) != Z_OK)
    {
        code = ERROR_NOT_ENOUGH_MEMORY;
        return Extract_WriteFailed;
    }
    z.next_in = nullptr;
    z.avail_in = 0;
    bool finished = false;
    while (!finished)
    {
        if (Stopped(work))
            return Extract_Cancelled;
        z.next_out = (Bytef*)worker.plain.data();
        z.avail_out = (uInt)worker.plain.size();
        // Fill the write buffer, reading compressed bytes as they are needed.
        while (z.avail_out > 0)
        {
            if (z.avail_in == 0 && at < end)
            {
                const size_t n = (size_t)std::min<uint64_t>(end - at, worker.packed.size());
                if (ReadArchive(worker.archive, at, worker.packed.data(), n) != n)
                    return Extract_Damaged;
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
                return Extract_Damaged;
            if (status != Z_OK && status != Z_BUF_ERROR)
                return Extract_Damaged;
        }
        const size_t n = worker.plain.size() - z.avail_out;
        if (written + n > entry.size)
            return Extract_Damaged;
        if (n > 0 && (code = Emit(work, file, worker.plain.data(), n, crc, written)) != ERROR_SUCCESS)
            return Extract_WriteFailed;
    }
    return written == entry.size && crc == entry.crc ? Extract_Done : Extract_Damaged;
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

// False when the entry waited for will not be written first after all
// (cancel, the stream abandoned, or a failure before this entry).
bool WaitForEntry(UnpackWork& work, size_t index, size_t waiter)
{
    std::unique_lock<std::mutex> lock(work.mutex);
    while (!work.done[index])
    {
        if (Stopped(work) || FailedBefore(work, waiter))
            return false;
        work.changed.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

// Most destinations are new files: made with CREATE_NEW, they are never
// truncated, and truncating even an empty file makes ext4 start writing it
// out at its close. Whatever is in the way (an earlier entry's file, one the
// stream wrote) goes to CREATE_ALWAYS, whose outcome decides.
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
    EntryOutcome& outcome = work.outcomes[index];
    if (entry.kind == Entry_Damaged)
    {
        Fail(work, index, "The download is damaged.");
        return;
    }
    if (entry.kind == Entry_Folder)
        outcome.whole = true;
    if (entry.kind != Entry_File)
        return;
    // Two entries for one file are written one after the other, in archive
    // order, so the later one wins as it would on one thread.
    if (entry.after >= 0 && !WaitForEntry(work, (size_t)entry.after, index))
        return;
    // A failure of an earlier entry ends the unpack there.
    if (FailedBefore(work, index) || Stopped(work))
        return;

    const fs::path dest = work.root / entry.relative;
    UniqueFile file(CreateDestination(LongPath(dest.wstring())));
    if (!file)
    {
        Fail(work, index, EntryFailure(Extract_WriteFailed, entry, GetLastError()));
        return;
    }
    outcome.wrote = true;
    uint64_t written = 0;
    DWORD code = ERROR_SUCCESS;
    ExtractOutcome extracted = ExtractEntry(work, worker, entry, file.get(), written, code);
    // Closed here, on this worker: on Windows an antivirus scans a new file
    // while it is being closed.
    file.reset();
    if (extracted == Extract_Cancelled)
        return;
    outcome.whole = extracted == Extract_Done;
    // A whole entry counts in full once it is over, also when it failed, so
    // the bar ends where the total is.
    if (entry.size > written)
        work.progress.load()->fetch_add(entry.size - written);
    if (extracted != Extract_Done)
        Fail(work, index, EntryFailure(extracted, entry, code));
}

void MarkDone(UnpackWork& work, size_t index)
{
    {
        std::lock_guard<std::mutex> lock(work.mutex);
        work.done[index] = 1;
    }
    work.changed.notify_all();
}

// Takes entries in archive order until none is left, one fails or the work
// stops. Every entry it takes it marks done, so a worker waiting for an
// earlier entry never waits for nothing.
void RunWorker(UnpackWork& work, Worker& worker)
{
    for (;;)
    {
        size_t index = 0;
        {
            std::unique_lock<std::mutex> lock(work.mutex);
            while (work.next >= work.plan.size() && !work.closed && !Stopped(work))
                work.changed.wait_for(lock, std::chrono::milliseconds(50));
            if (Stopped(work) || work.next >= work.plan.size())
                return;
            index = work.next++;
        }
        bool go = !FailedBefore(work, index);
        // A worker of the stream opens the archive once there is one.
        if (go && !worker.archive.file && !OpenArchiveCursor(work.source, worker.archive))
        {
            Fail(work, index, "Couldn't open the download (an antivirus may be scanning it) - try again.");
            go = false;
        }
        if (go)
            UnpackEntry(work, worker, index);
        MarkDone(work, index);
        if (!go)
            return;
    }
}

void RunHelperWorker(UnpackWork& work)
{
    // Without a view of the archive or buffers of its own this worker takes
    // nothing; the others do the work.
    Worker worker;
    if (!AllocateBuffers(worker))
        return;
    if (!work.source.available && !OpenArchiveCursor(work.source, worker.archive))
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

// Starts up to `count` helper workers; one that cannot be started only makes
// the unpack slower.
void StartHelpers(UnpackWork& work, unsigned count, std::vector<std::thread>& helpers)
{
    helpers.reserve(count);
    for (unsigned k = 0; k < count; k++)
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
}
} // namespace

// The stream: one thread follows the local headers from the archive's start
// and publishes every entry whose bytes are all there; workers write them.
struct StreamedUnpack
{
    std::atomic<uint64_t>    available{0};  // bytes of the archive in place from its start
    std::atomic<bool>        ended{false};      // no more bytes will come
    std::atomic<bool>        restarted{false};  // the file began again: nothing streamed counts
    std::atomic<uint64_t>    written{0};    // bytes written before the unpack phase counts them
    std::mutex               arrivalMutex;
    std::condition_variable  arrived;
    UnpackWork               work;
    std::thread              reader;
    std::vector<std::thread> workers;

    StreamedUnpack() = default;
    StreamedUnpack(const StreamedUnpack&) = delete;
    StreamedUnpack& operator=(const StreamedUnpack&) = delete;
    ~StreamedUnpack() { StopStreamedUnpack(*this); }
};

namespace
{
// False when the archive will not hold `end` bytes: the download ended short
// of them, began again, or the stream was stopped.
bool WaitForBytes(StreamedUnpack& s, uint64_t end)
{
    std::unique_lock<std::mutex> lock(s.arrivalMutex);
    for (;;)
    {
        if (Stopped(s.work) || s.restarted.load())
            return false;
        if (s.available.load() >= end)
            return true;
        if (s.ended.load())
            return s.available.load() >= end;
        // The download notifies without the lock; a wake-up it misses costs
        // at most this long.
        s.arrived.wait_for(lock, std::chrono::milliseconds(50));
    }
}

// The sizes a local header leaves to its zip64 extra field (0x0001). In a
// local header the field holds both, uncompressed first; some writers put
// only the one that overflowed.
bool Zip64Sizes(const std::string& extra, uint64_t& size, uint64_t& packed)
{
    const unsigned char* p = (const unsigned char*)extra.data();
    size_t at = 0;
    while (at + 4 <= extra.size())
    {
        const uint16_t id = Le16(p + at), length = Le16(p + at + 2);
        if (at + 4 + length > extra.size())
            return false;
        if (id == 0x0001)
        {
            const unsigned char* field = p + at + 4;
            if (length >= 16)
            {
                size = Le64(field);
                packed = Le64(field + 8);
                return true;
            }
            if (length >= 8 && (size == 0xFFFFFFFFu) != (packed == 0xFFFFFFFFu))
            {
                (size == 0xFFFFFFFFu ? size : packed) = Le64(field);
                return true;
            }
            return false;
        }
        at += 4 + (size_t)length;
    }
    return false;
}

// Follows the archive from its start while it is written, one local header
// after another, and publishes each entry once all its bytes are there. It
// stops at the central directory, at anything it cannot delimit, at the
// first entry that failed, or when the stream is stopped: what follows is
// the pass after the download's.
void FollowArchive(StreamedUnpack& s)
{
    UnpackWork& work = s.work;
    ArchiveCursor cursor;
    uint64_t at = 0;
    std::string fields;
    for (;;)
    {
        if (!WaitForBytes(s, at + kLocalHeaderSize))
            break;
        if (!cursor.file && !OpenArchiveCursor(work.source, cursor))
            break;
        unsigned char h[kLocalHeaderSize];
        if (ReadArchive(cursor, at, h, sizeof(h)) != sizeof(h) || Le32(h) != kLocalHeaderSignature)
            break;
        const uint16_t flags = Le16(h + 6), method = Le16(h + 8);
        uint64_t packed = Le32(h + 18), size = Le32(h + 22);
        const size_t nameLength = Le16(h + 26), extraLength = Le16(h + 28);
        const uint64_t dataStart = at + kLocalHeaderSize + nameLength + extraLength;
        if (!WaitForBytes(s, dataStart))
            break;
        fields.resize(nameLength + extraLength);
        if (ReadArchive(cursor, at + kLocalHeaderSize, fields.data(), fields.size()) != fields.size())
            break;
        const std::string extra = fields.substr(nameLength);
        // Sizes only after the data: where this entry ends is not known here.
        if (flags & kDataDescriptor)
            break;
        if ((packed == 0xFFFFFFFFu || size == 0xFFFFFFFFu) && !Zip64Sizes(extra, size, packed))
            break;
        if (packed > UINT64_MAX - dataStart)
            break;
        const uint64_t dataEnd = dataStart + packed;

        PlannedEntry entry;
        entry.name = ZipEntryName(fields.substr(0, nameLength), flags, extra);
        entry.size = size;
        entry.packedSize = packed;
        entry.headerOffset = at;
        entry.crc = Le32(h + 14);
        entry.method = method;
        entry.flags = flags;
        entry.relative = RelativeName(entry.name);
        const bool folder = !entry.name.empty() && IsSeparator(entry.name.back());
        const bool readable = Readability(entry) == Extract_Done;
        // Entries that are not unpacked (unsafe names, methods it cannot
        // read) are passed over; the pass after the download decides on them.
        if (IsSafeEntryName(entry.name) && !entry.relative.empty() && (folder || readable))
        {
            if (!WaitForBytes(s, dataEnd))
                break;
            entry.kind = folder ? Entry_Folder : Entry_File;
            Publish(work, std::move(entry));
        }
        if (work.firstFailure.load() != SIZE_MAX)
            break;
        at = dataEnd;
    }
    Close(work);
}
} // namespace

std::wstring StagingFolder(const std::string& installDir)
{
    return (fs::path(WithoutTrailingSeparators(Utf8ToWide(installDir))) / kStagingName).wstring();
}

namespace
{
// An empty, hidden staging folder; whatever a killed run left there goes
// first. False when it cannot be made.
bool PrepareStaging(const std::wstring& staging)
{
    RemoveTree(staging);
    if (!MakeFolders(staging))
        return false;
    const DWORD attributes = PathAttributes(staging);
    SetFileAttributesW(LongPath(staging).c_str(), (attributes & ~(DWORD)FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_HIDDEN);
    return true;
}
} // namespace

std::shared_ptr<StreamedUnpack> StartStreamedUnpack(const std::wstring& archivePath, const std::string& installDir,
                                                    InstallJob& job)
{
    auto s = std::make_shared<StreamedUnpack>();
    UnpackWork& work = s->work;
    work.source.path = archivePath;
    work.source.available = &s->available;
    work.root = fs::path(StagingFolder(installDir));
    work.job = &job;
    work.progress.store(&s->written);
    work.folders.root = work.root;
    // What an earlier run left of the archive is there already.
    s->available.store(RegularFileSize(archivePath));
    MakeFolders(Utf8ToWide(installDir));
    if (!PrepareStaging(work.root.wstring()))
    {
        s->work.stop.store(true);
        return s;
    }
    try
    {
        s->reader = std::thread(FollowArchive, std::ref(*s));
    }
    catch (const std::system_error&)
    {
        // No stream: the pass after the download does it all.
        s->work.stop.store(true);
        return s;
    }
    StartHelpers(work, WorkerCount(SIZE_MAX), s->workers);
    return s;
}

void StreamGrew(StreamedUnpack& s, uint64_t bytes)
{
    s.available.fetch_add(bytes);
    s.arrived.notify_all();
}

void StreamRestarted(StreamedUnpack& s)
{
    // A download that starts from nothing begins with this too: only bytes
    // that were there already can have been streamed.
    if (s.available.load() == 0)
        return;
    // The rest waits for the pass after the download.
    s.restarted.store(true);
    s.work.stop.store(true);
    s.arrived.notify_all();
    s.work.changed.notify_all();
}

void StreamEnded(StreamedUnpack& s)
{
    s.ended.store(true);
    s.arrived.notify_all();
}

namespace
{
// Waits for the stream's threads; with `stop`, they give up first.
void JoinStream(StreamedUnpack& s, bool stop)
{
    if (stop)
    {
        s.work.stop.store(true);
        s.arrived.notify_all();
        s.work.changed.notify_all();
    }
    if (s.reader.joinable())
        s.reader.join();
    Close(s.work);
    for (std::thread& t : s.workers)
        if (t.joinable())
            t.join();
    s.workers.clear();
}
} // namespace

void StopStreamedUnpack(StreamedUnpack& s)
{
    JoinStream(s, true);
}

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

namespace
{
size_t ReadForMiniz(void* opaque, mz_uint64 offset, void* buffer, size_t size)
{
    return ReadArchive(*(ArchiveCursor*)opaque, offset, buffer, size);
}

// The archive's directory, read once on the calling thread.
struct DirectoryReader
{
    mz_zip_archive zip;
    bool           ready = false;

    DirectoryReader() { mz_zip_zero_struct(&zip); }
    DirectoryReader(const DirectoryReader&) = delete;
    DirectoryReader& operator=(const DirectoryReader&) = delete;
    ~DirectoryReader()
    {
        if (ready)
            mz_zip_reader_end(&zip);
    }
};

enum OpenOutcome
{
    Open_Ready,
    Open_NoFile,
    Open_NotZip,
};

OpenOutcome OpenDirectory(ArchiveCursor& cursor, DirectoryReader& reader, uint64_t& size)
{
    if (!OpenArchiveCursor(*cursor.source, cursor))
        return Open_NoFile;
    size = ArchiveAvailable(cursor);
    if (size == 0)
        return Open_NotZip;
    reader.zip.m_pRead = ReadForMiniz;
    reader.zip.m_pIO_opaque = &cursor;
    if (!mz_zip_reader_init(&reader.zip, size, 0))
        return Open_NotZip;
    reader.ready = true;
    return Open_Ready;
}

// What the central directory says, planned as the classic pass would write it.
struct DirectoryPlan
{
    std::vector<PlannedEntry> entries;
    size_t                    end = 0;      // entries from here on are never unpacked
    uint64_t                  total = 0;    // uncompressed bytes of every entry
    bool                      haveCandidate = false;
    std::string               prefix;       // folder part of the executable's entry
};

// The directory's record of each entry, with its name and extra field, for
// the one name decoder. False when the directory cannot be read whole.
bool ReadDirectoryRecords(DirectoryReader& reader, ArchiveCursor& cursor, uint64_t archiveSize, std::string& records)
{
    const uint64_t start = reader.zip.m_central_directory_file_ofs;
    if (start >= archiveSize || archiveSize - start > (uint64_t)SIZE_MAX / 2)
        return false;
    try
    {
        records.resize((size_t)(archiveSize - start));
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    return ReadArchive(cursor, start, records.data(), records.size()) == records.size();
}

void PlanDirectory(DirectoryReader& reader, const std::string& records, const std::string& exeName, DirectoryPlan& plan)
{
    const mz_uint count = mz_zip_reader_get_num_files(&reader.zip);
    plan.entries.resize(count);
    plan.end = count;
    // Only an entry that will really be written may name the game folder.
    for (mz_uint i = 0; i < count; i++)
    {
        PlannedEntry& entry = plan.entries[i];
        mz_zip_archive_file_stat st;
        const bool statted = mz_zip_reader_file_stat(&reader.zip, i, &st);
        const uint64_t at = statted ? st.m_central_dir_ofs : 0;
        const unsigned char* record = (const unsigned char*)records.data() + at;
        const bool fits = statted && at + 46 <= records.size() &&
                          at + 46 + Le16(record + 28) + Le16(record + 30) <= records.size();
        if (!fits)
        {
            // Nothing after it is unpacked.
            if (i < plan.end)
            {
                entry.kind = Entry_Damaged;
                plan.end = i + 1;
            }
            continue;
        }
        plan.total += st.m_uncomp_size;
        const size_t nameLength = Le16(record + 28), extraLength = Le16(record + 30);
        const std::string name = ZipEntryName(records.substr(at + 46, nameLength), st.m_bit_flag,
                                              records.substr(at + 46 + nameLength, extraLength));
        const bool folder = mz_zip_reader_is_file_a_directory(&reader.zip, i);
        const bool safe = IsSafeEntryName(name);
        const fs::path relative = RelativeName(name);
        if (i < plan.end && safe && !relative.empty())
        {
            entry.kind = folder ? Entry_Folder : Entry_File;
            entry.name = name;
            entry.relative = relative;
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
        if (!plan.haveCandidate || plan.prefix.empty() || name.size() < plan.prefix.size())
        {
            plan.haveCandidate = true;
            plan.prefix = folderPart;
        }
    }
}

// Which of the directory's entries the stream already wrote into the staging
// folder exactly as the directory describes them. The directory always wins:
// an entry it describes otherwise, lists where the stream saw nothing, or
// whose file another streamed entry wrote last, is unpacked again.
std::vector<char> StreamedAgreement(const DirectoryPlan& plan, const StreamedUnpack& s)
{
    std::vector<char> agreed(plan.entries.size(), 0);
    if (s.restarted.load())
        return agreed;
    const UnpackWork& streamed = s.work;
    std::map<uint64_t, size_t> byOffset;
    FileWriters lastStreamed;
    for (size_t j = 0; j < streamed.plan.size(); j++)
    {
        byOffset[streamed.plan[j].headerOffset] = j;
        if (streamed.plan[j].kind == Entry_File && streamed.outcomes[j].wrote)
            lastStreamed[streamed.plan[j].relative.wstring()] = j;
    }
    FileWriters lastListed;
    for (size_t i = 0; i < plan.end; i++)
    {
        const PlannedEntry& d = plan.entries[i];
        if (d.kind != Entry_File && d.kind != Entry_Folder)
            continue;
        if (d.kind == Entry_File)
            lastListed[d.relative.wstring()] = i;
        auto it = byOffset.find(d.headerOffset);
        if (it == byOffset.end())
            continue;
        const PlannedEntry& e = streamed.plan[it->second];
        bool same = e.kind == d.kind && e.name == d.name && streamed.outcomes[it->second].whole;
        if (same && d.kind == Entry_File)
            same = e.method == d.method && e.crc == d.crc && e.size == d.size && e.packedSize == d.packedSize &&
                   (e.flags & kTrustedFlags) == (d.flags & kTrustedFlags);
        agreed[i] = same;
    }
    // The file at each destination must be the one the directory's last
    // entry for it gives, and that entry's streamed copy must be the last
    // thing the stream wrote there.
    for (const auto& [destination, i] : lastListed)
    {
        auto last = lastStreamed.find(destination);
        auto own = byOffset.find(plan.entries[i].headerOffset);
        if (!agreed[i] || last == lastStreamed.end() || own == byOffset.end() || last->second != own->second)
            agreed[i] = 0;
    }
    return agreed;
}

// Every folder the directory's entries need, and every file they write,
// relative to the staging folder.
void ExpectedTree(const DirectoryPlan& plan, IgnoreCaseSet& files, IgnoreCaseSet& folders)
{
    for (size_t i = 0; i < plan.end; i++)
    {
        const PlannedEntry& d = plan.entries[i];
        if (d.kind != Entry_File && d.kind != Entry_Folder)
            continue;
        (d.kind == Entry_File ? files : folders).insert(d.relative.wstring());
        for (fs::path parent = d.relative.parent_path(); !parent.empty(); parent = parent.parent_path())
            folders.insert(parent.wstring());
    }
}

// Takes out of the staging folder whatever the directory does not list: what
// a local header named otherwise, or a file where the directory has a folder
// (and the other way round). "" or the path that could not be removed.
std::string Sweep(const fs::path& staging, const IgnoreCaseSet& files, const IgnoreCaseSet& folders)
{
    std::vector<FolderEntry> entries;
    WalkFolder(staging.wstring(), entries);
    std::vector<std::wstring> removed;
    std::string stuck;
    const size_t rootLength = staging.wstring().size() + 1;
    for (const FolderEntry& e : entries)
    {
        const std::wstring relative = e.path.substr(rootLength);
        bool inside = false;
        for (const std::wstring& gone : removed)
            inside = inside || IsInsideFolder(relative, gone);
        if (inside)
            continue;
        const bool folder = (e.attributes & FILE_ATTRIBUTE_DIRECTORY) && !(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (folder ? folders.count(relative) > 0 : (files.count(relative) > 0 && !(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        if (e.attributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            RemoveTree(e.path);
            removed.push_back(relative);
        }
        else
        {
            SetFileAttributesW(LongPath(e.path).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(LongPath(e.path).c_str());
        }
        if (PathAttributes(e.path) != INVALID_FILE_ATTRIBUTES && stuck.empty())
            stuck = WideToUtf8(e.path);
    }
    return stuck;
}

// The classic pass: the entries in `plan` that `skip` does not mark, written
// from the verified archive by this thread and helpers. "" or the sentence of
// the first entry in archive order that failed.
std::string UnpackEntries(const DirectoryPlan& plan, const std::vector<char>& skip, const std::wstring& archivePath,
                          const fs::path& staging, InstallJob& job, ArchiveCursor&& cursor)
{
    UnpackWork work;
    work.source.path = archivePath;
    work.root = staging;
    work.job = &job;
    work.progress.store(&job.bytesDone);
    work.folders.root = staging;
    size_t files = 0;
    for (size_t i = 0; i < plan.end && !job.cancel.load(); i++)
    {
        if (skip[i] || plan.entries[i].kind == Entry_Skip)
            continue;
        files += plan.entries[i].kind == Entry_File;
        Publish(work, plan.entries[i]);
    }
    Close(work);

    // This thread's worker reads through the view the directory was read with.
    Worker worker;
    if (!AllocateBuffers(worker))
        throw std::bad_alloc();
    cursor.source = &work.source;
    worker.archive = std::move(cursor);
    std::vector<std::thread> helpers;
    StartHelpers(work, WorkerCount(files) - 1, helpers);
    RunWorker(work, worker);
    for (std::thread& t : helpers)
        t.join();
    for (const EntryOutcome& outcome : work.outcomes)
        if (!outcome.error.empty())
            return outcome.error;
    return std::string();
}

bool Exists(const fs::path& path)
{
    return PathAttributes(path.wstring()) != INVALID_FILE_ATTRIBUTES;
}

// Where the game goes, by the naming rules: the folder that holds the
// executable, at its own path below the install folder; one made now (not
// there before) takes the name "Ostrel" beside itself when that name is free
// (or names the setup's own game folder). The install folder itself never
// moves: it holds the launcher and is what the registry and shortcuts name.
fs::path GameFolderRelative(const fs::path& install, const fs::path& prefix, const std::string& ownGameDir)
{
    if (prefix.empty() || prefix.filename() == kGameFolderName || Exists(install / prefix))
        return prefix;
    const fs::path target = prefix.parent_path() / kGameFolderName;
    const fs::path full = install / target;
    const bool own = !ownGameDir.empty() && (PathsEqualIgnoreCase(Normalised(fs::path(Utf8ToWide(ownGameDir))).wstring(),
                                                                 Normalised(full).wstring()) ||
                                            SameFileObject(Utf8ToWide(ownGameDir), full.wstring()));
    return !Exists(full) || own ? target : prefix;
}

// The staged path `relative` moved into place.
fs::path PlacedRelative(const fs::path& relative, const fs::path& prefix, const fs::path& game)
{
    if (prefix.empty() || !IsInsideFolder(relative.wstring(), prefix.wstring()))
        return relative;
    const std::wstring rest = relative.wstring().substr(prefix.wstring().size());
    return fs::path(game.wstring() + rest);
}

std::string CouldNotWrite(const fs::path& path)
{
    return "Couldn't write " + WideToUtf8(path.wstring()) + " - is the game still running?";
}

// Moves what `from` holds into `to`: a folder whose place is free in one
// rename, the rest file by file, each replacing what is there in one step.
// "" or the sentence for the first thing that could not be moved.
std::string MoveTree(const fs::path& from, const fs::path& to)
{
    std::vector<std::pair<fs::path, fs::path>> pending = {{from, to}};
    while (!pending.empty())
    {
        auto [source, target] = pending.back();
        pending.pop_back();
        if (!Exists(target))
        {
            MakeFolders(target.parent_path().wstring());
            if (MoveFileExW(LongPath(source.wstring()).c_str(), LongPath(target.wstring()).c_str(), 0))
                continue;
            if (!MakeFolders(target.wstring()))
                return CouldNotWrite(target);
        }
        std::vector<FolderEntry> entries;
        if (!ListFolder(source.wstring(), entries))
            return CouldNotWrite(target);
        for (const FolderEntry& e : entries)
        {
            const fs::path name = fs::path(e.path).filename();
            if (e.attributes & FILE_ATTRIBUTE_DIRECTORY)
                pending.push_back({fs::path(e.path), target / name});
            else if (!MoveFileExW(LongPath(e.path).c_str(), LongPath((target / name).wstring()).c_str(),
                                  MOVEFILE_REPLACE_EXISTING))
                return CouldNotWrite(target / name);
        }
    }
    return std::string();
}

// A file about to be replaced that cannot be: a folder in its place, a
// read-only file, or one held open without leave to delete it (a running
// game). Found before anything moves; "" when none is in the way.
std::string InTheWay(const fs::path& path)
{
    const DWORD attributes = PathAttributes(path.wstring());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return std::string();
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
        return CouldNotWrite(path);
    UniqueFile probe(CreateFileW(LongPath(path.wstring()).c_str(), DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return probe ? std::string() : CouldNotWrite(path);
}

// Moves the staged game into the install folder. `order` ranks staged paths
// by their first appearance in the archive.
std::string Place(const fs::path& staging, const fs::path& install, const fs::path& prefix, const fs::path& game,
                  const std::map<std::wstring, size_t, IgnoreCaseLess>& order, const UnpackOptions& options,
                  Placement& placement)
{
    std::vector<FolderEntry> entries;
    if (!WalkFolder(staging.wstring(), entries))
        return CouldNotWrite(staging);
    const size_t rootLength = staging.wstring().size() + 1;
    struct Item
    {
        fs::path relative;  // placed, below the install folder
        bool     folder = false;
        size_t   rank = SIZE_MAX;
    };
    std::vector<Item> items;
    for (const FolderEntry& e : entries)
    {
        const std::wstring staged = e.path.substr(rootLength);
        auto it = order.find(staged);
        items.push_back({PlacedRelative(fs::path(staged), prefix, game), (e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                         it == order.end() ? SIZE_MAX : it->second});
    }
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.rank < b.rank; });

    IgnoreCaseSet fresh;    // folders that are not there yet
    for (const Item& item : items)
    {
        const fs::path full = install / item.relative;
        if (item.folder)
        {
            const DWORD attributes = PathAttributes(full.wstring());
            if (attributes == INVALID_FILE_ATTRIBUTES)
            {
                fresh.insert(item.relative.wstring());
                placement.folders.push_back(WideToUtf8(item.relative.wstring()));
            }
            else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
                return CouldNotWrite(full);
            continue;
        }
        placement.files.push_back(WideToUtf8(item.relative.wstring()));
        // Below a folder made now nothing is in the way.
        if (fresh.count(item.relative.parent_path().wstring()))
            continue;
        std::string blocked = InTheWay(full);
        if (!blocked.empty())
            return blocked;
    }
    placement.gameDir = WideToUtf8((game.empty() ? install : install / game).wstring());
    if (options.beforePlacing)
    {
        std::string refused = options.beforePlacing(placement);
        if (!refused.empty())
            return refused;
    }
    // The game folder first (it may take another name), then the rest.
    if (!prefix.empty())
    {
        std::string failed = MoveTree(staging / prefix, install / game);
        if (!failed.empty())
            return failed;
        // Merged into a folder that was there: what is left are empty folders,
        // which must not follow the rest.
        RemoveTree((staging / prefix).wstring());
    }
    return MoveTree(staging, install);
}

// The first component of a placed path that is one of the setup's own names
// in the install folder.
bool IsBookkeeping(const fs::path& placed)
{
    const std::wstring first = placed.begin() == placed.end() ? std::wstring() : placed.begin()->wstring();
    for (const wchar_t* name : kBookkeepingNames)
        if (PathsEqualIgnoreCase(first, name))
            return true;
    return false;
}
} // namespace

// Nothing here ever writes outside the install folder: every destination is
// the staging folder joined with a name that IsSafeEntryName accepted
// (relative, no "..", no drive or stream, nothing Windows would rename or
// turn into a device), and the move into place keeps those names below the
// install folder. Only plain folders and plain files are made, never links.
//
// The entries are written by several workers at once, each taking the next
// entry in archive order. The outcome is the one a single thread would
// reach: the first failing entry in archive order is the one reported, once
// it has failed no later entry is started, and of two entries for one file
// the later one wins.
UnpackResult UnpackGameArchive(const std::string& archivePath, const std::string& installDir,
                               const std::string& exeName, InstallJob& job, const UnpackOptions& options,
                               StreamedUnpack* stream)
{
    const fs::path install = Normalised(fs::path(Utf8ToWide(installDir)));
    const fs::path staging(StagingFolder(installDir));
    // Whatever happens below, nothing of the game stays in the staging folder
    // unless it was moved into place.
    struct Cleanup
    {
        StreamedUnpack* stream;
        fs::path        staging;
        ~Cleanup()
        {
            if (stream)
                StopStreamedUnpack(*stream);
            RemoveTree(staging.wstring());
        }
    } cleanup{stream, staging};

    MakeFolders(install.wstring());
    // Without a stream (or one that could not make its folder) the staging
    // folder starts empty here.
    if ((!stream || !IsFolder(staging.wstring())) && !PrepareStaging(staging.wstring()))
        return Failed(CouldNotWrite(staging));

    ArchiveSource source;
    source.path = Utf8ToWide(archivePath);
    ArchiveCursor cursor;
    cursor.source = &source;
    DirectoryReader reader;
    uint64_t archiveSize = 0;
    switch (OpenDirectory(cursor, reader, archiveSize))
    {
    case Open_NoFile:
        return Failed("Couldn't open the download (an antivirus may be scanning it) - try again.");
    case Open_NotZip:
        return Failed("The download isn't a readable zip.");
    case Open_Ready:
        break;
    }
    std::string records;
    if (!ReadDirectoryRecords(reader, cursor, archiveSize, records))
        return Failed("The download isn't a readable zip.");
    DirectoryPlan plan;
    PlanDirectory(reader, records, exeName, plan);
    mz_zip_reader_end(&reader.zip);
    reader.ready = false;
    records = std::string();

    // Every entry's method is known before a byte is unpacked: an archive
    // this setup cannot read fails at once, with what is wrong with it.
    for (size_t i = 0; i < plan.end; i++)
    {
        const PlannedEntry& d = plan.entries[i];
        const ExtractOutcome readable = d.kind == Entry_File ? Readability(d) : Extract_Done;
        if (readable != Extract_Done)
            return Failed(EntryFailure(readable, d, ERROR_SUCCESS));
    }

    const fs::path prefix = RelativeName(plan.prefix);
    const fs::path game = GameFolderRelative(install, prefix, options.ownGameDir);
    // No entry may land on the setup's own files in the install folder.
    for (size_t i = 0; i < plan.end; i++)
    {
        const PlannedEntry& d = plan.entries[i];
        if ((d.kind == Entry_File || d.kind == Entry_Folder) && IsBookkeeping(PlacedRelative(d.relative, prefix, game)))
            return Failed(CouldNotWrite(install / PlacedRelative(d.relative, prefix, game)));
    }

    // From here on the bar counts what is still to write: the stream's bytes
    // written so far are done already.
    std::vector<char> agreed(plan.entries.size(), 0);
    if (stream)
    {
        stream->work.progress.store(&job.bytesDone);
        const uint64_t already = stream->written.load();
        job.bytesTotal.store(plan.total > already ? plan.total - already : 0);
        JoinStream(*stream, false);
        agreed = StreamedAgreement(plan, *stream);
    }
    else
        job.bytesTotal.store(plan.total);
    if (job.cancel.load())
    {
        UnpackResult r;
        r.outcome = UnpackResult::Cancelled;
        return r;
    }

    IgnoreCaseSet expectedFiles, expectedFolders;
    ExpectedTree(plan, expectedFiles, expectedFolders);
    if (stream)
    {
        std::string stuck = Sweep(staging, expectedFiles, expectedFolders);
        if (!stuck.empty())
            return Failed("Couldn't write " + stuck + " - is the game still running?");
    }
    std::string error = UnpackEntries(plan, agreed, source.path, staging, job, std::move(cursor));
    if (job.cancel.load())
    {
        UnpackResult r;
        r.outcome = UnpackResult::Cancelled;
        return r;
    }
    if (!error.empty())
        return Failed(error);

    const DWORD exe = PathAttributes((staging / prefix / fs::path(Utf8ToWide(exeName))).wstring());
    if (exe == INVALID_FILE_ATTRIBUTES || (exe & FILE_ATTRIBUTE_DIRECTORY))
        return Failed("The download has no " + exeName + " in it.");

    std::map<std::wstring, size_t, IgnoreCaseLess> order;
    for (size_t i = 0; i < plan.end; i++)
    {
        const PlannedEntry& d = plan.entries[i];
        if (d.kind != Entry_File && d.kind != Entry_Folder)
            continue;
        fs::path walk;
        for (const fs::path& part : d.relative)
        {
            walk /= part;
            order.try_emplace(walk.wstring(), order.size());
        }
    }
    Placement placement;
    error = Place(staging, install, prefix, game, order, options, placement);
    if (!error.empty())
        return Failed(error);

    UnpackResult r;
    r.outcome = UnpackResult::Unpacked;
    r.gameDir = placement.gameDir;
    r.createdFiles = std::move(placement.files);
    r.createdFolders = std::move(placement.folders);
    return r;
}
