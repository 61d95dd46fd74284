// The patch run from the launcher's replacement to the version summary.
#include "update/UpdateProcedure.h"

#include <cstdio>

#include "app/Messages.h"
#include "app/ProgressDlg.h"
#include "app/UpdateDlg.h"
#include "lzh/LzhArchive.h"
#include "platform/Disk.h"
#include "update/Globals.h"
#include "update/Transfer.h"
#include "update/Version.h"

namespace {

// RunUpdate reaches the main dialog as the application's main window.
CUpdateDlg* MainDialog() { return static_cast<CUpdateDlg*>(AfxGetMainWnd()); }

bool OpenOne(CPackFileManager& pack, const char* directory, const char* name, const char* mode, bool quiet)
{
    char path[kMaxPath];
    if (JoinPath(path, directory, name)) pack.Open(path, mode);
    if (pack.IsOpen()) return true;
    if (!quiet) ShowUpdateMessage(kMessageFileOpen, "\n(%s%s)", directory, name);
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

bool OpenPacks(bool quiet)
{
    return OpenOne(UpdatePack, UpdaterDir, "Update.pak", "rb", quiet) &&
           OpenOne(GamePack, GameDir, "Dev\\Kivra.pak", "rb+", quiet);
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

bool RunUpdate(bool launcherReplaced, CProgressDlg* progressPanel)
{
    const bool quiet = launcherReplaced;
    ResetTransfer(progressPanel);

    UnpackUpdateArchive();

    if (ChangeDiskDirectory(GameDir) != 0) {
        // A stale InstallPath, or a drive the system does not have.
        if (!quiet) ShowUpdateMessage(kMessageNoGamePath, "");
        return launcherReplaced;
    }
    if (!OpenPacks(quiet)) return launcherReplaced;

    VersionNumber needVersion{0, 0, 0, 0};
    VersionNumber currentVersion{0, 0, 0, 0};
    VersionNumber patchVersion{0, 0, 0, 0};
    VersionNumber gameExeVersion{0, 0, 0, 0};

    const auto fail = [&](int id, const char* detail) {
        if (!quiet) ShowUpdateMessage(id, "%s", detail);
        return launcherReplaced;
    };
    if (!ReadNeedVersion(needVersion)) return fail(kMessageFileNotFound, "\n(Need Version)");
    if (!ReadPackVersion(GamePack, currentVersion)) return fail(kMessageFileNotFound, "\n(Current Version)");
    if (!ReadPackVersion(UpdatePack, patchVersion)) return fail(kMessageFileNotFound, "\n(Patch Version)");
    char gameExe[kMaxPath];
    if (JoinPath(gameExe, GameDir, "Kivra.exe")) ReadFileVersion(gameExe, gameExeVersion);

    if (CompareVersions(currentVersion, needVersion) == VersionOrder::Less) {
        if (!quiet)
            ShowUpdateMessage(kMessageFormatted, GetUpdateMessage(kMessageNeedVersionFormat), needVersion.major,
                              needVersion.minor, needVersion.minor2, needVersion.build);
        return launcherReplaced;
    }
    if (CompareVersions(patchVersion, currentVersion) == VersionOrder::Less) return fail(kMessagePatchIsOlder, "");

    CUpdateDlg* dialog = MainDialog();
    const bool launcherWasRunning = dialog && dialog->m_bLauncherWasRunning;
    if (launcherWasRunning && CompareVersions(currentVersion, gameExeVersion) == VersionOrder::Equal &&
        CompareVersions(currentVersion, patchVersion) == VersionOrder::Equal)
        return true;

    transfer.copyingPass = 0;
    TransferPackData();
    TransferDiskData();
    if (progressPanel) progressPanel->SetProgressRange(transfer.countedBytes);
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
        ShowUpdateMessage(kMessageFileOpen, "\n(%s)", transfer.firstFailedFile);
        return false;
    }

    if (dialog)
        dialog->m_strVersionSummary.Format("\n%d.%d%d Build %d -> %d.%d%d Build %d", currentVersion.major,
                                           currentVersion.minor, currentVersion.minor2, currentVersion.build,
                                           patchVersion.major, patchVersion.minor, patchVersion.minor2,
                                           patchVersion.build);

    char readMe[kMaxPath];
    if (JoinPath(readMe, GameDir, "ReadMe.txt"))
        ShellExecuteA(nullptr, "open", readMe, "ReadMe.txt", nullptr, SW_SHOWNORMAL);
    return true;
}
