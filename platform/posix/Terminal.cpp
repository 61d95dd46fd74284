// The terminal front-end of the window models on Linux (Terminal.h).
//
// A progress line redrawn in place on a terminal, whole lines in a log.
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/AsciiCase.h"
#include "platform/posix/CodePage.h"
#include "platform/posix/OwnProcess.h"
#include "platform/posix/Terminal.h"
#include "platform/posix/WindowModel.h"

namespace {

bool progressLineOpen = false;

// Opens the progress line; the first time, has ExitProcess finish it too.
void OpenLine()
{
    static const bool finishedAtExit = (RunAtExitProcess(terminal::FinishLine), true);
    (void)finishedAtExit;
    progressLineOpen = true;
}

// Off a terminal, a progress line is printed each time this many percent
// more are done.
constexpr int kLogStep = 5;

bool OnTerminal() { return isatty(STDOUT_FILENO) == 1; }
bool Interactive() { return OnTerminal() && isatty(STDIN_FILENO) == 1; }

int TerminalWidth()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
    return 80;
}

HWND FindChild(HWND dialog, const char* className)
{
    for (auto& child : dialog->children)
        if (child->className == className) return child.get();
    return nullptr;
}

// The visible static texts of a dialog, one after another.
std::string StaticTexts(HWND dialog, const char* separator)
{
    std::string text;
    for (auto& child : dialog->children) {
        if (child->className != "Static" || !child->visible) continue;
        if (!text.empty()) text += separator;
        text += child->text;
    }
    return text;
}

// Cuts UTF-8 text to at most columns characters.
std::string Fit(const std::string& text, int columns)
{
    int count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && count++ == columns) return text.substr(0, i);
    }
    return text;
}

void DrawProgress(HWND dialog, HWND bar)
{
    const long long span = static_cast<long long>(bar->rangeHigh) - bar->rangeLow;
    long long percent = span > 0 ? (static_cast<long long>(bar->position) - bar->rangeLow) * 100 / span : 0;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    const std::string status = terminal::ToUtf8(StaticTexts(dialog, " "));

    if (OnTerminal()) {
        // Drawn again when the percentage moves or the status changes: a
        // terminal is slow to draw, and a long file would redraw it for
        // every chunk copied.
        if (progressLineOpen && static_cast<int>(percent) == dialog->shownPercent && status == dialog->shown) return;
        dialog->shownPercent = static_cast<int>(percent);
        constexpr int kBarWidth = 30;
        const int filled = static_cast<int>(percent * kBarWidth / 100);
        std::string line = "\r\033[K[" + std::string(static_cast<std::size_t>(filled), '#') +
                           std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] ";
        char number[8];
        std::snprintf(number, sizeof number, "%3lld%% ", percent);
        line += number;
        line += Fit(status, TerminalWidth() - kBarWidth - 9);
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
        OpenLine();
    } else if (!status.empty() && (dialog->shownPercent < 0 || percent >= dialog->shownPercent + kLogStep ||
                                   (percent == 100 && dialog->shownPercent < 100))) {
        // A log gets whole lines, one every few percent.
        std::printf("[%3lld%%] %s\n", percent, status.c_str());
        std::fflush(stdout);
        dialog->shownPercent = static_cast<int>(percent);
    }
    dialog->shown = status;
}

}  // namespace

namespace terminal {

std::string ToUtf8(const std::string& text)
{
    // A byte that is no text of the code page shows as a question mark.
    std::string out;
    codepage::Convert(codepage::Direction::kToUtf8, text, out, codepage::Unconvertible::kQuestionMark);
    return out;
}

void FinishLine()
{
    if (!progressLineOpen) return;
    std::fputs("\n", stdout);
    std::fflush(stdout);
    progressLineOpen = false;
}

void Redraw(HWND__* dialog)
{
    if (!dialog->visible) return;
    if (HWND bar = FindChild(dialog, "msctls_progress32")) {
        if (bar->visible) DrawProgress(dialog, bar);
        return;
    }
    const std::string text = StaticTexts(dialog, "\n");
    if (text == dialog->shown) return;
    dialog->shown = text;
    FinishLine();
    std::printf("%s\n", ToUtf8(text).c_str());
    std::fflush(stdout);
}

void ShowMessageBox(const char* caption, const char* text)
{
    // A message box says what went wrong or what keeps the run from going
    // on: it goes where the errors go, apart from the results.
    FinishLine();
    std::fprintf(stderr, "\n[%s]\n%s\n", ToUtf8(caption).c_str(), ToUtf8(text).c_str());
    if (Interactive()) {
        std::fputs("(press Enter) ", stderr);
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {}
    }
}

int AskForButton(HWND__* dialog)
{
    HWND yes = nullptr;
    HWND no = nullptr;
    HWND other = nullptr;
    std::string choices;
    for (auto& child : dialog->children) {
        if (child->className != "Button" || !child->visible) continue;
        if (!choices.empty()) choices += "/";
        choices += child->text;
        if (child->text == "Yes")
            yes = child.get();
        else if (child->text == "No")
            no = child.get();
        else if (!other)
            other = child.get();
    }
    if (!yes && !no && !other) return IDCANCEL;

    FinishLine();
    std::printf("(%s) ", choices.c_str());
    std::fflush(stdout);
    char answer[64] = {};
    // Only someone at a terminal is asked: standard input that is a pipe or
    // a file may hold anything, and is never taken for an answer.
    const bool read = Interactive() && std::fgets(answer, sizeof answer, stdin) != nullptr;
    // A terminal shows the answer and its line end; otherwise the line ends
    // here, as the output does.
    if (!read || !std::strchr(answer, '\n') || isatty(STDIN_FILENO) != 1) std::fputs("\n", stdout);
    std::fflush(stdout);
    answer[std::strcspn(answer, "\r\n")] = 0;

    if (yes && (ascii::EqualIgnoringCase(answer, "y") || ascii::EqualIgnoringCase(answer, "yes"))) return yes->id;
    if (no) return no->id;
    return other ? other->id : yes->id;
}

void ShowWork(const char* what, long long done, long long total, bool finished)
{
    static int shownTenth = -1;
    static long long shownPercent = -1;
    // A job that stopped short leaves its last step shown.
    if (finished && done < 0) {
        FinishLine();
        shownTenth = -1;
        shownPercent = -1;
        return;
    }
    if (OnTerminal()) {
        // Drawn again for each percent done, and at the end: a chunk at a
        // time would redraw the line thousands of times for one archive.
        const long long percent = total > 0 ? done * 100 / total : 100;
        if (!finished && progressLineOpen && percent == shownPercent) return;
        shownPercent = finished ? -1 : percent;
        if (!progressLineOpen) std::fputs("\n", stdout);
        std::printf("\r\033[K%s: %lld of %lld bytes", what, done < 0 ? 0 : done, total);
        OpenLine();
        if (finished) FinishLine();
        std::fflush(stdout);
        return;
    }
    const int tenth = total > 0 ? static_cast<int>(done * 10 / total) : 10;
    if (tenth != shownTenth || (finished && shownTenth < 0)) {
        std::printf("%s: %d%%\n", what, tenth * 10);
        std::fflush(stdout);
    }
    shownTenth = finished ? -1 : tenth;
}

}  // namespace terminal
