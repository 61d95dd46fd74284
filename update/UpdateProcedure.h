// The patch run: the launcher's replacement, then unpacking, the version
// checks and the transfer.
#pragma once

#include "update/Transfer.h"
#include "update/UpdateUi.h"
#include "update/Version.h"

// Copies a newer "KNet.exe" from UpdaterDir into GameDir; true when it did.
// A copy that fails for any reason but a sharing violation (which is waited
// out a second at a time) shows the system's text and ends the process with
// status 1.
bool UpdateLauncher();

// The versions a run reads before it decides; a read that failed is false.
struct VersionFacts {
    bool needRead = false;
    bool currentRead = false;
    bool patchRead = false;
    VersionNumber need{0, 0, 0, 0};     // NeedVersion.txt of the patch
    VersionNumber current{0, 0, 0, 0};  // Kivra_Pak\Version.txt of the game pack
    VersionNumber patch{0, 0, 0, 0};    // Kivra_Pak\Version.txt of the patch
    VersionNumber gameExe{0, 0, 0, 0};  // Kivra.exe's file version (0.0.0.0 when unreadable)
    bool launcherWasRunning = false;
};

// What the versions decide, in this order of precedence.
enum class UpdateVerdict {
    NoNeedVersion,     // message 8 "(Need Version)"
    NoCurrentVersion,  // message 8 "(Current Version)"
    NoPatchVersion,    // message 8 "(Patch Version)"
    NeedsNewer,        // message 1: the installed version is older than the patch accepts
    PatchIsOlder,      // message 10: the patch is older than the installation
    NothingToDo,       // the launcher was running and game, pack and patch agree
    Proceed,           // copy the patch
};
UpdateVerdict DecideUpdate(const VersionFacts& facts);

// The run, showing its progress and messages through ui. True when it ended
// as completed: the patch applied, nothing to do, or, in a quiet run (after a
// launcher replacement), a failure before anything was copied, which is not
// shown. False when it failed: with its message shown unless quiet, and
// always with message 7 when a copy failed (then the installed version stays
// recorded).
bool RunUpdate(bool launcherReplaced, UpdateUi& ui);
// What a run would do, and nothing of it: the checks of a run (update.lzh
// unpacked into folder, an empty folder of the caller's, which it takes as
// UpdaterDir when the archive holds Update.pak; both packs read-only; the
// versions), then every step of the copying pass told to listener, and lines
// through ui: what the launcher's replacement would do, the version before
// and after, the blocks and bytes needed and free. True when the patch
// would be applied. The game, its launcher and the patch folder stay as
// they are.
bool DryRun(UpdateUi& ui, TransferListener& listener, const char* folder);
// Opens UpdatePack from UpdaterDir and GamePack from GameDir. False when one
// cannot be opened, with message 7 naming it when ui is given.
bool OpenPacks(UpdateUi* ui);
bool ClosePacks();
// Shows the system's text for the last error in a message box.
void ShowLastError();
