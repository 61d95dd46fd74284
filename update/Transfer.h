// Moving the patch tree out of UpdatePack: its top-level "Kivra_Pak" into
// GamePack, everything else onto disk below the current directory.
#pragma once

#include <cstdint>

#include "update/Version.h"

#include "update/UpdateUi.h"

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
    // or in the game pack ("Kivra_Pak\b.txt").
    std::int32_t failedCopies;
    char firstFailedFile[260];
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
};

extern TransferState transfer;

// Sets up the state for a run: the panel, both counters and no failures.
void ResetTransfer(UpdateUi* panel);

// One file of UpdatePack's current directory, copied by its bare name into
// the process's current directory on disk, or into GamePack's current
// directory (created, or replacing a file of that name). In the counting
// pass only size is added to countedBytes. 0, or -1 when the copy failed (a
// source that cannot be opened or read, a destination that cannot be
// created or written, an unsafe name); each failure of the copying pass is
// counted in transfer.failedCopies.
int CopyFileToDisk(const char* source, const char* destination, std::int32_t size);
int CopyFileToPack(const char* source, const char* destination, std::int32_t size);
// Walks UpdatePack from its current directory over the entries that match
// pattern and mirrors them into GamePack's current directory, or onto disk
// below the process's current directory (there passing over every folder
// named "Kivra_Pak"), making folders as it goes; every current directory is
// left as it was. The result is the listing's last: 1 once it ended (0 is
// never left over). Failures are counted, not returned.
int CopyTreeToPack(const char* pattern);
int CopyTreeToDisk(const char* pattern);
// The top-level "Kivra_Pak" of UpdatePack into GamePack; false when the patch
// has none.
bool TransferPackData();
// Everything else of UpdatePack onto disk. Always true.
bool TransferDiskData();
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
