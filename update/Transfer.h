// Moving the patch tree out of UpdatePack: its top-level "Kivra_Pak" into
// GamePack, everything else onto disk below the current directory.
//
// The counting pass changes nothing. It walks the patch and the places it
// goes to and finds out, before anything is written, what the copying pass
// will do (TransferPlan): the bytes it copies, each file it adds or replaces,
// whether anything is in the way (a name the disk cannot take, a file or
// folder that may not be written), and how many game pack blocks and disk
// bytes it needs. The copying pass then stages every file: a pack file's
// data into blocks nothing holds, its entry waiting for the game pack's
// switch (CPackFileManager::Stage), a disk file into a temporary beside it,
// staged (SwitchStagedDiskFiles). Nothing the game reads changes until the
// update procedure switches them all.
#pragma once

#include <cstdint>

#include "update/Version.h"

#include "update/UpdateUi.h"

// What the counting pass found to stand in the copying pass's way; the first
// such thing is named.
enum class TransferObstacle : std::uint8_t {
    None,
    UnsafeName,        // a name that would lead outside its folder
    TooDeep,           // more folders in a row than a path holds
    PathTooLong,       // a disk path of 260 bytes or more
    FolderInTheWay,    // a folder of the name where the patch has a file
    FileInTheWay,      // a file of the name where the patch has a folder
    NotAFile,          // a device or a pipe of the name where the patch has a file
    BadDiskName,       // a name the disk cannot take (no code page 949 text)
    WindowsName,       // a disk name Windows cannot use (a device's name, a trailing dot, ...)
    ReadOnly,          // a file the patch replaces, or a folder it writes into, may not be written
    PackRefused,       // the game pack's table is damaged past its end (see pak fsck)
    IsTheInput,        // a disk file of the patch that would land on the game pack or on the patch
    DamagedDirectory,  // a game pack directory that cannot take entries (see pak fsck)
    Unreadable,        // the patch, or the game pack, could not be read
};

// Where a planned step lands.
enum class TransferPlace : std::uint8_t {
    Pack,
    Disk,
};

// A step of the copying pass, as the counting pass plans it.
enum class TransferStep : std::uint8_t {
    Add,      // a file
    Replace,  // a file
    Folder,   // made
};

// Told of every planned step, in the copying pass's order; path is below the
// game directory ("Bin\a.dll") or in the game pack ("Kivra_Pak\b.txt").
class TransferListener {
public:
    virtual void Planned(TransferPlace place, TransferStep step, const char* path, std::int64_t size) = 0;

protected:
    ~TransferListener() = default;
};

// What the counting pass found.
struct TransferPlan {
    TransferObstacle obstacle;
    char obstaclePath[260];  // the first obstacle's path, as copy failures are named
    std::int32_t obstacles;
    // Game pack blocks: free when the run began (GamePack.FreeBlocks()), and
    // the most that the copying pass holds beyond them at one time. It fits
    // when no allocation would meet the end of the table.
    std::int32_t packFree;
    std::int32_t packNeeded;
    bool packFits;
    // Bytes the copying pass writes on the game's disk (every file's
    // temporary, beside the old file until the switch; new folders; the
    // pack's growth), and the bytes free there; diskFree is -1 when it could
    // not be learnt.
    std::int64_t diskNeeded;
    std::int64_t diskFree;
    // The steps planned.
    std::int32_t files;
    std::int32_t folders;
};

// The transfer state of one run.
struct TransferState {
    UpdateUi* progressPanel;   // not owned; may be null
    std::uint8_t copyingPass;  // 0: the counting pass, 1: the copying pass
    std::int32_t countedBytes;
    std::int32_t copiedBytes;
    // Files and folders the copying pass could not copy or make (a source
    // that cannot be opened or read, a destination that cannot be created or
    // written, a folder that cannot be made or entered, an unsafe name), and
    // the first of them as its path below the game directory ("Bin\a.dll")
    // or in the game pack ("Kivra_Pak\b.txt"), with why when it is known.
    std::int32_t failedCopies;
    char firstFailedFile[260];
    char firstFailureWhy[80];
    // The folders the walk stands in, each name followed by a backslash, and
    // how many more below them the path had no room for.
    char walkPath[260];
    std::int32_t walkPathHidden;
    // How deep the walks stand now: a directory that contains itself ends
    // the walk at a bound instead of the stack.
    std::int32_t depth;
    // Set by the update procedure: the copying pass passes over the game's
    // version file "Kivra_Pak\Version.txt", and CopyPackVersion copies it
    // once everything else is in place.
    std::uint8_t versionLast;
    // A walk could not go back to the folder it came from: nothing more is
    // copied, since every name would land in the wrong place.
    bool abandoned;
    TransferPlan plan;
    TransferListener* listener;  // may be null
};

extern TransferState transfer;

// Sets up the state for a run: the panel, both counters, no failures, an
// empty plan and no listener.
void ResetTransfer(UpdateUi* panel);

// One file of UpdatePack's current directory, copied by its bare name into
// the process's current directory on disk, or into GamePack's current
// directory (created, or replacing a file of that name), staged: a disk file
// as a temporary beside it, a pack file in blocks its entry names only at
// the switch. In the counting pass it is only planned (size added to
// countedBytes). 0, or -1 when the copy failed (a source that cannot be
// opened or read, a destination that cannot be created or written, an
// unsafe name); each failure of the copying pass is counted in
// transfer.failedCopies, and leaves the destination as it was.
int CopyFileToDisk(const char* source, const char* destination, std::int32_t size);
int CopyFileToPack(const char* source, const char* destination, std::int32_t size);
// Walks UpdatePack from its current directory over the entries that match
// pattern and mirrors them into GamePack's current directory, or onto disk
// below the process's current directory (there passing over every folder
// named "Kivra_Pak"), making folders in the copying pass; every current
// directory is left as it was. The result is the listing's last: 1 once it
// ended (0 is never left over). Failures are counted, not returned.
int CopyTreeToPack(const char* pattern);
int CopyTreeToDisk(const char* pattern);
// The top-level "Kivra_Pak" of UpdatePack into GamePack; false when the patch
// has none.
bool TransferPackData();
// Everything else of UpdatePack onto disk. Always true.
bool TransferDiskData();
// The counting pass over both parts, ended by the room it needs: fills
// transfer.plan. Nothing is written.
void PlanTransfer();
// Removes, deepest first, the disk folders the copying pass made: after a
// failure, the game's folders are as they were. The process's current
// directory is GameDir afterwards.
void RemoveMadeFolders();
// Writes the directory entry of every file below GamePack's current
// directory again (MarkForRewrite). The listing's last result.
int RewriteDirectoryEntries(const char* pattern);
// RewriteDirectoryEntries over all of GamePack when version is 1.0.0.47 or
// lower. Always true.
bool UpgradeOldPackEntries(const VersionNumber& version);
// Copies "Kivra_Pak\Version.txt" from UpdatePack into GamePack, from and to
// their roots. The version file records which patch the game pack holds, so
// it goes in last: a run stopped before it leaves the old version recorded
// (never an empty or missing one), and the same patch runs again in full.
// False when UpdatePack has no such file or its copy failed.
bool CopyPackVersion();
