// The dry run's front-end: every message and step of the run as a line.
#include "app/DryRun.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/Directories.h"
#include "app/Messages.h"
#include "app/ProgramWindows.h"
#include "platform/Disk.h"
#include "platform/Framework.h"
#include "update/Globals.h"
#include "update/UpdateProcedure.h"

namespace {

// A text with its line feeds made blanks, for one line.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n') c = ' ';
    return text;
}

class DryRunUi final : public UpdateUi, public TransferListener {
public:
    void SetProgressRange(std::int32_t) override {}
    void SetProgressPos(std::int32_t) override {}
    void SetStatus(const char*) override {}
    void Refresh() override {}
    void ShowMessage(UpdateMessageId id, const char* detail) override
    {
        ProblemLine("[UPDATE " + std::to_string(id) + "] " + GetUpdateMessage(id) + detail);
    }
    void ShowNeedVersion(const VersionNumber& need) override
    {
        char text[260];
        std::snprintf(text, sizeof text, GetUpdateMessage(kMessageNeedVersionFormat), need.major, need.minor,
                      need.minor2, need.build);
        ProblemLine(std::string("[UPDATE 1] ") + text);
    }
    bool LauncherWasRunning() const override
    {
        return FindWindowA(kLauncherWindow.className, kLauncherWindow.title) != nullptr;
    }
    void SetVersionSummary(const char*) override {}
    void ShowUnpacking(std::int64_t done, std::int64_t total, bool finished) override
    {
        AfxShowWork("Unpacking update.lzh", done, total, finished);
    }
    void ShowNote(const char* text) override { Line(text); }
    void ShowProblem(const char* text) override { ProblemLine(text); }
    void ShowText(const char* text) override { ProblemLine(text); }

    void Planned(TransferPlace place, TransferStep step, const char* path, std::int64_t size) override
    {
        const char* what = step == TransferStep::Add ? "add" : step == TransferStep::Replace ? "replace" : "folder";
        char line[400];
        std::snprintf(line, sizeof line, "%s %-7s %10lld %s", place == TransferPlace::Pack ? "pack" : "disk", what,
                      static_cast<long long>(size), path);
        Line(line);
    }

private:
    static void Line(const std::string& text) { AfxShowNote(OneLine(text).c_str()); }
    static void ProblemLine(const std::string& text) { AfxShowProblem(OneLine(text).c_str()); }
};

// Makes a new, empty folder for the archive's members below the folder for
// temporary files; false when none can be made.
bool MakeFolder(char* folder)
{
    char temporary[kMaxPath];
    const DWORD length = GetTempPathA(sizeof temporary, temporary);
    if (length == 0 || length >= sizeof temporary) return false;
    for (unsigned n = 0; n < 1000; ++n) {
        const int made = std::snprintf(folder, kMaxPath, "%skivra-dry-run-%lu-%u%c", temporary,
                                       static_cast<unsigned long>(GetCurrentProcessId()), n, temporary[length - 1]);
        if (made < 0 || made >= kMaxPath) return false;
        if (MakeDiskDirectory(folder) == 0) return true;
    }
    return false;
}

void RemoveFolder(const char* folder)
{
    char host[kHostPathMax];
    std::error_code ignored;
    if (ResolveDiskPath(folder, host, sizeof host)) std::filesystem::remove_all(host, ignored);
}

}  // namespace

int RunDryRun()
{
    const bool found = InitDirectories();
    AfxShowInstallation(found ? GameDir : nullptr);
    DryRunUi ui;
    if (!found) {
        ShowOtherInstallations();
        ui.ShowMessage(kMessageNoGamePath, "");
        ui.ShowNote("would not apply");
        return 1;
    }
    char folder[kMaxPath];
    if (!MakeFolder(folder)) {
        ui.ShowProblem("Dry run: no folder for temporary files can be made.");
        return 1;
    }
    // A stop by a signal takes it away too.
    WatchDiskFolder(folder);
    const bool applies = DryRun(ui, ui, folder);
    RemoveFolder(folder);
    ForgetDiskFolder();
    return applies ? 0 : 1;
}
