// Unpacking the game's zip archive: into a hidden staging folder inside the
// install folder, while the archive downloads where it can, and into place
// only once the archive is verified.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct InstallJob;

// The archive as the unpack reads it: every reader asks for bytes at an
// offset, and none reads past what is there so far. Today one file that the
// download writes from its start; nothing but archive_source.cpp knows that.
struct ArchiveSource
{
    std::wstring                 path;
    // Bytes in place from the start of the archive; nullptr: the file is complete.
    const std::atomic<uint64_t>* available = nullptr;
};

struct UnpackResult
{
    enum Outcome { Cancelled, Failed, Unpacked };
    Outcome     outcome = Failed;
    std::string error;      // the user's sentence when Failed
    std::string gameDir;    // full path of the game folder when Unpacked (UTF-8)
    // What the move into place wrote, relative to the install folder
    // ("Ostrel\data\a.pak"): every file (once, in archive order), and the
    // folders that did not exist before, parents before their children.
    // Empty unless Unpacked: a failed or cancelled unpack leaves nothing
    // outside the staging folder, and the staging folder goes.
    std::vector<std::string> createdFiles;
    std::vector<std::string> createdFolders;
};

// What the move into place is about to do, decided before anything moves.
struct Placement
{
    std::string              gameDir;   // full path
    std::vector<std::string> files;     // as UnpackResult::createdFiles
    std::vector<std::string> folders;   // as UnpackResult::createdFolders
};

struct UnpackOptions
{
    // A game folder the setup owns whole (an earlier install's, or a killed
    // run's): it may keep receiving the game, under the name "Ostrel" too.
    std::string ownGameDir;
    // Told the placement before the first move (the install's journal); a
    // sentence stops the unpack there, "" lets it go on.
    std::function<std::string(const Placement&)> beforePlacing;
};

// True when an entry name may be written below the install folder.
bool IsSafeEntryName(const std::string& name);

// The unpack that follows the archive while it downloads: it finds each
// entry by its local header as soon as the entry's bytes are all in place
// and unpacks it into the staging folder (emptied first: what an earlier run
// left there is never trusted). Entries it cannot delimit (sizes only after
// the data, encrypted, unknown methods, anything odd) are left to the pass
// after the download. Nothing it writes counts before UnpackGameArchive has
// checked it against the central directory of the verified archive.
struct StreamedUnpack;
std::shared_ptr<StreamedUnpack> StartStreamedUnpack(const std::wstring& archivePath, const std::string& installDir,
                                                    InstallJob& job);
// From the download, on its thread: `bytes` were appended to the archive, the
// file started again from nothing, or no more bytes will come.
void StreamGrew(StreamedUnpack& stream, uint64_t bytes);
void StreamRestarted(StreamedUnpack& stream);
void StreamEnded(StreamedUnpack& stream);
// Stops every thread of the stream and waits for them; the staging folder stays.
void StopStreamedUnpack(StreamedUnpack& stream);
// The staging folder of an install folder, as a full path.
std::wstring StagingFolder(const std::string& installDir);

// Reads the verified archive's central directory, keeps what the stream (if
// any) unpacked where the directory agrees entry by entry, unpacks the rest,
// and moves the game into place by the naming rules. Runs on the calling
// thread and up to three more; returns when all of them are done.
UnpackResult UnpackGameArchive(const std::string& archivePath, const std::string& installDir,
                               const std::string& exeName, InstallJob& job, const UnpackOptions& options = {},
                               StreamedUnpack* stream = nullptr);
