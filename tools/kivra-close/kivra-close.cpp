// kivra-close: closes the game or the launcher from inside their Wine prefix.
// kivra-update on Linux runs it with `wine` in the game's prefix, so that the
// game and the launcher are asked to close as the patcher asks them on
// Windows: by a message to their window, which they answer with their own
// shutdown (settings and saves written), not by a signal.
//
//   kivra-close post CLASS TITLE MESSAGE   posts MESSAGE (wParam 0, lParam 0)
//                                          to the window of that class and title
//   kivra-close terminate CLASS TITLE      ends the process of that window
//
// An empty CLASS or TITLE matches any. MESSAGE is decimal, or hexadecimal
// after 0x. Exit status: 0 done, 10 no such window, 11 refused (the message
// could not be posted, or the process could not be ended), 2 usage. The
// answers are not those Wine gives when it cannot start a program (1 among
// them), so that the caller tells the helper's "no" from Wine's.
#include <windows.h>

#include <cwchar>

namespace {

constexpr int kDone = 0;
constexpr int kUsage = 2;
constexpr int kNoWindow = 10;
constexpr int kRefused = 11;

const wchar_t* OrAny(const wchar_t* text) { return *text ? text : nullptr; }

HWND Find(const wchar_t* className, const wchar_t* title) { return FindWindowW(OrAny(className), OrAny(title)); }

int Post(const wchar_t* className, const wchar_t* title, const wchar_t* messageText)
{
    wchar_t* end = nullptr;
    const unsigned long message = std::wcstoul(messageText, &end, 0);
    if (!*messageText || *end || message > 0xFFFFFFFFul) return kUsage;
    HWND window = Find(className, title);
    if (!window) return kNoWindow;
    return PostMessageW(window, static_cast<UINT>(message), 0, 0) ? kDone : kRefused;
}

int Terminate(const wchar_t* className, const wchar_t* title)
{
    HWND window = Find(className, title);
    if (!window) return kNoWindow;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    if (!process) return kRefused;
    const BOOL ended = TerminateProcess(process, 0);
    CloseHandle(process);
    return ended ? kDone : kRefused;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && std::wcscmp(argv[1], L"post") == 0) return Post(argv[2], argv[3], argv[4]);
    if (argc == 4 && std::wcscmp(argv[1], L"terminate") == 0) return Terminate(argv[2], argv[3]);
    std::fputws(L"usage: kivra-close post CLASS TITLE MESSAGE\n       kivra-close terminate CLASS TITLE\n", stderr);
    return kUsage;
}
