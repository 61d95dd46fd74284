// What the update procedure asks of its user interface. app/ gives it the
// program's dialogs (the progress panel inside the main dialog); tests give
// recordings. The procedure decides what is shown; the interface only shows.
#pragma once

#include <cstdint>

#include "update/Version.h"

// The numbered update messages (the entries of the message table).
enum UpdateMessageId {
    kMessageCaption = 0,    // "UPDATE": the first word of every caption
    kMessageFormatted = 1,  // the caller's formatted text is the message
    kMessageNoGamePath = 2,
    kMessageGameWait = 3,
    kMessageLauncherWait = 4,
    kMessageNoLauncherVersion = 5,
    kMessageLauncherNotEnded = 6,
    kMessageFileOpen = 7,
    kMessageFileNotFound = 8,
    kMessageNeedVersionFormat = 9,
    kMessagePatchIsOlder = 10,
};

class UpdateUi {
public:
    // The progress bar: its range, 0 to upper (32-bit), and its position.
    // Both show at once.
    virtual void SetProgressRange(std::int32_t upper) = 0;
    virtual void SetProgressPos(std::int32_t position) = 0;
    // The status text (a file's name while it is copied); it shows at the
    // next Refresh.
    virtual void SetStatus(const char* text) = 0;
    virtual void Refresh() = 0;
    // Message id with detail (already formatted: "\n(Bin\tool.dll)") in a
    // message box that the player closes before the call returns.
    virtual void ShowMessage(UpdateMessageId id, const char* detail) = 0;
    // Message 1: only need or later can be patched.
    virtual void ShowNeedVersion(const VersionNumber& need) = 0;
    // Whether the launcher was running when the patcher started.
    virtual bool LauncherWasRunning() const = 0;
    // The version summary the completion text ends with.
    virtual void SetVersionSummary(const char* text) = 0;
    // How much of update.lzh is unpacked: done of total archive bytes, as it
    // goes, and once more with finished when the walk has ended (done -1
    // when it stopped before the archive's end).
    virtual void ShowUnpacking(std::int64_t done, std::int64_t total, bool finished) = 0;
    // One line that says what the run did or why it stopped, beside what
    // the dialog shows: the terminal prints it, Windows has no place for it.
    virtual void ShowNote(const char* text) = 0;
    // The same for a line that says why the run stopped or what it did not
    // do: the terminal prints it with the messages, apart from the results.
    virtual void ShowProblem(const char* text) { ShowNote(text); }
    // A message box whose text the procedure made whole (the game pack or
    // the disk has no room for the patch), under the caption "UPDATE".
    virtual void ShowText(const char* text) = 0;

protected:
    ~UpdateUi() = default;
};
