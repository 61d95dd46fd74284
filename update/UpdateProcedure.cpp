// The patch run from the launcher's replacement to the version summary.
#include "update/UpdateProcedure.h"

#include <cstdarg>
#include <cstdio>

#include "lzh/LzhArchive.h"
#include "platform/Disk.h"
#include "platform/Framework.h"
#include "update/Globals.h"
#include "update/Transfer.h"
#include "update/Version.h"

namespace {

// Message id with a detail formatted by printf rules (cut to 259 bytes).
void Tell(UpdateUi& ui, UpdateMessageId id, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
void Tell(UpdateUi& ui, UpdateMessageId id, const char* format, ...)
{
    char detail[260];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    ui.ShowMessage(id, detail);
}

bool OpenOne(CPackFileManager& pack, const char* directory, const char* name, const char* mode, UpdateUi* ui)
{
    char path[kMaxPath];
    if (JoinPath(path, directory, name)) pack.Open(path, mode);
    if (pack.IsOpen()) return true;
    if (ui) Tell(*ui, kMessageFileOpen, "\n(%s%s)", directory, name);
    return false;
}

// On a terminal the unpacking of update.lzh is one line of its own that
// counts the archive's bytes; elsewhere it stays a full stop a chunk.
bool unpackLineShown = false;

void ShowUnpackLine(long read)
{
    // The line starts below whatever the terminal showed, and is drawn anew
    // for each chunk.
    std::fprintf(stderr, "%s\r\033[KUnpacking update.lzh: %ld of %ld bytes", unpackLineShown ? "" : "\n",
                 read < 0 ? 0L : read, lzhReader.archiveSize);
    std::fflush(stderr);
    unpackLineShown = true;
}

void ShowUnpackProgress() { ShowUnpackLine(std::ftell(lzhReader.archive)); }

void UnpackUpdateArchive()
{
    const bool onTerminal = _isatty(_fileno(stderr)) != 0;
    if (onTerminal) lzhChunkWritten = ShowUnpackProgress;
    unpackLineShown = false;
    ExtractLzhArchive("update.lzh");
    if (unpackLineShown) {
        // A walk that reached the archive's end has read all of it.
        if (lzhReader.walkEnd == LzhWalkEnd::EndMarker || lzhReader.walkEnd == LzhWalkEnd::FileEnd)
            ShowUnpackLine(lzhReader.archiveSize);
        std::fputc('\n', stderr);
    }
    lzhChunkWritten = PutLzhProgressStop;
}

}  // namespace

bool OpenPacks(UpdateUi* ui)
{
    return OpenOne(UpdatePack, UpdaterDir, "Update.pak", "rb", ui) &&
           OpenOne(GamePack, GameDir, "Dev\\Kivra.pak", "rb+", ui);
}

UpdateVerdict DecideUpdate(const VersionFacts& facts)
{
    if (!facts.needRead) return UpdateVerdict::NoNeedVersion;
    if (!facts.currentRead) return UpdateVerdict::NoCurrentVersion;
    if (!facts.patchRead) return UpdateVerdict::NoPatchVersion;
    if (CompareVersions(facts.current, facts.need) == VersionOrder::Less) return UpdateVerdict::NeedsNewer;
    if (CompareVersions(facts.patch, facts.current) == VersionOrder::Less) return UpdateVerdict::PatchIsOlder;
    if (facts.launcherWasRunning && CompareVersions(facts.current, facts.gameExe) == VersionOrder::Equal &&
        CompareVersions(facts.current, facts.patch) == VersionOrder::Equal)
        return UpdateVerdict::NothingToDo;
    return UpdateVerdict::Proceed;
}

bool ClosePacks()
{
    UpdatePack.Close();
    GamePack.Close();
    return true;
}

void ShowLastError()
{
    char* text = nullptr;
    const DWORD code = GetLastError();
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 1033,
                       reinterpret_cast<LPSTR>(&text), 0, nullptr) != 0) {
        AfxMessageBox(text, MB_ICONEXCLAMATION | MB_OK);
        LocalFree(text);
        return;
    }
    CString failure;
    failure.Format("An error occured calling FormatMessage(). Error Code %d", static_cast<int>(GetLastError()));
    AfxMessageBox(failure, MB_ICONEXCLAMATION | MB_OK);
}

bool UpdateLauncher()
{
    char source[kMaxPath];
    char destination[kMaxPath];
    if (!JoinPath(source, UpdaterDir, "KNet.exe") || !JoinPath(destination, GameDir, "KNet.exe")) return false;

    VersionNumber offered{0, 0, 0, 0};
    VersionNumber installed{0, 0, 0, 0};
    if (!ReadFileVersion(source, offered)) return false;
    if (ReadFileVersion(destination, installed) && CompareVersions(offered, installed) != VersionOrder::Greater)
        return false;

    while (!CopyFileA(source, destination, FALSE)) {
        if (GetLastError() == ERROR_SHARING_VIOLATION) {
            // The old launcher still holds its file.
            Sleep(1000);
            continue;
        }
        ShowLastError();
        // The launcher could not be replaced: that is no success.
        ExitProcess(1);
    }
    return true;
}

namespace {

// Shows what keeps a run from copying.
void TellVerdict(UpdateUi& ui, UpdateVerdict verdict, const VersionFacts& facts)
{
    switch (verdict) {
    case UpdateVerdict::NoNeedVersion: ui.ShowMessage(kMessageFileNotFound, "\n(Need Version)"); break;
    case UpdateVerdict::NoCurrentVersion: ui.ShowMessage(kMessageFileNotFound, "\n(Current Version)"); break;
    case UpdateVerdict::NoPatchVersion: ui.ShowMessage(kMessageFileNotFound, "\n(Patch Version)"); break;
    case UpdateVerdict::NeedsNewer: ui.ShowNeedVersion(facts.need); break;
    case UpdateVerdict::PatchIsOlder: ui.ShowMessage(kMessagePatchIsOlder, ""); break;
    case UpdateVerdict::Proceed:
    case UpdateVerdict::NothingToDo: break;
    }
}

}  // namespace

bool RunUpdate(bool launcherReplaced, UpdateUi& ui)
{
    // A run after the launcher was replaced is quiet: what keeps it from
    // copying is not shown, and it counts as completed.
    const bool quiet = launcherReplaced;
    UpdateUi* const teller = quiet ? nullptr : &ui;
    ResetTransfer(&ui);

    UnpackUpdateArchive();

    if (ChangeDiskDirectory(GameDir) != 0) {
        // A stale InstallPath, or a drive the system does not have.
        if (teller) teller->ShowMessage(kMessageNoGamePath, "");
        return launcherReplaced;
    }
    if (!OpenPacks(teller)) return launcherReplaced;

    // The versions are read in this order, then decided on together.
    VersionFacts facts;
    facts.needRead = ReadNeedVersion(facts.need);
    facts.currentRead = facts.needRead && ReadPackVersion(GamePack, facts.current);
    facts.patchRead = facts.currentRead && ReadPackVersion(UpdatePack, facts.patch);
    char gameExe[kMaxPath];
    if (facts.patchRead && JoinPath(gameExe, GameDir, "Kivra.exe")) ReadFileVersion(gameExe, facts.gameExe);
    facts.launcherWasRunning = ui.LauncherWasRunning();

    const UpdateVerdict verdict = DecideUpdate(facts);
    if (verdict == UpdateVerdict::NothingToDo) return true;
    if (verdict != UpdateVerdict::Proceed) {
        if (teller) TellVerdict(*teller, verdict, facts);
        return launcherReplaced;
    }
    const VersionNumber& currentVersion = facts.current;
    const VersionNumber& patchVersion = facts.patch;

    transfer.copyingPass = 0;
    TransferPackData();
    TransferDiskData();
    ui.SetProgressRange(transfer.countedBytes);
    transfer.copyingPass = 1;
    transfer.versionLast = 1;
    TransferPackData();
    TransferDiskData();

    UpgradeOldPackEntries(currentVersion);
    // The new version is recorded only over a complete installation: after
    // a failed copy the game pack keeps the version it had, so that the
    // patch is applied again, and no later patch takes it for this one.
    if (transfer.failedCopies == 0) CopyPackVersion();
    ClosePacks();

    // A file that could not be copied leaves the installation incomplete:
    // that run did not complete, and the player is told so even in a quiet
    // run.
    if (transfer.failedCopies > 0) {
        Tell(ui, kMessageFileOpen, "\n(%s)", transfer.firstFailedFile);
        return false;
    }

    char before[64];
    char after[64];
    FormatVersion(currentVersion, before, sizeof before);
    FormatVersion(patchVersion, after, sizeof after);
    char summary[140];
    std::snprintf(summary, sizeof summary, "\n%s -> %s", before, after);
    ui.SetVersionSummary(summary);

    char readMe[kMaxPath];
    if (JoinPath(readMe, GameDir, "ReadMe.txt"))
        ShellExecuteA(nullptr, "open", readMe, "ReadMe.txt", nullptr, SW_SHOWNORMAL);
    return true;
}
