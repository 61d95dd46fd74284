// Plays the player in the Wine suite: starts the patcher, watches its
// windows, records what it shows and clicks as a player would.
//
//   uidriver LOG [--click=yes|no|ok|close] [--snap=progress,done,messagebox]
//            [--timeout=SECONDS] [--cwd=DIR] -- PROGRAM
//
// PROGRAM is started (its path quoted on the command line) in DIR. LOG gets
// one UTF-8 line per event, fields separated by tabs; a line feed inside a
// text is written as \n:
//   start PID
//   shown                           the main dialog is on the screen
//   messagebox CAPTION TEXT         every message box, then OK is pressed
//   working TEXT STATUS             the main dialog's text and the panel's
//                                   status while the panel is shown
//   finished TICKS                  the main dialog is finished (GetTickCount64)
//   dialog TEXT BUTTONS             the finished main dialog: its text and
//                                   its visible buttons (Yes No OK)
//   measure TEXTHEIGHT LINEHEIGHT TEXTWIDTH X Y WIDTH HEIGHT
//                                   the finished dialog's text laid out in
//                                   its static with the static's font
//                                   (inspect.dll, beside the driver, does it
//                                   inside the patcher), and the static's
//                                   client area on the screen; "measure
//                                   failed" when it could not be asked
//   click BUTTON                    what was pressed on the finished dialog
//   snap NAME X Y WIDTH HEIGHT [PICTURE]
//                                   a screenshot of the main dialog (progress,
//                                   done) is due, or of a message box
//                                   (messagebox-N), which also draws itself
//                                   into PICTURE (window.bmp beside the
//                                   driver, made by inspect.dll): Wine leaves
//                                   a box shown over the main dialog black on
//                                   the screen. The driver waits for the file
//                                   LOG.NAME
//   exit CODE | timeout
//
// Texts of another process's controls are read with GetWindowTextW, which
// reads them without a message: the patcher's thread takes no message while
// it updates.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kMessage = 1004;
constexpr int kYes = 1006;
constexpr int kNo = 1007;
constexpr int kOk = 1008;
constexpr int kProgressBar = 1000;
constexpr int kStatus = 1003;

HANDLE logFile = INVALID_HANDLE_VALUE;
std::wstring logPath;

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string Field(const std::wstring& text)
{
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c != '\r')
            out += c;
    }
    return out;
}

void Log(const std::string& line)
{
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(logFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    FlushFileBuffers(logFile);
}

std::wstring Text(HWND window)
{
    if (!window) return {};
    wchar_t buffer[2048];
    const int n = GetWindowTextW(window, buffer, 2048);
    return std::wstring(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64];
    const int n = GetClassNameW(window, name, 64);
    return std::wstring(name, n > 0 ? static_cast<std::size_t>(n) : 0);
}

bool Shown(HWND window) { return window && IsWindowVisible(window); }

// Waits for the file LOG.NAME that the suite writes once it has taken the
// screenshot.
void Snap(const char* name, HWND window, const char* picture = nullptr)
{
    RECT r{};
    GetWindowRect(window, &r);
    Log(std::string("snap\t") + name + "\t" + std::to_string(r.left) + "\t" + std::to_string(r.top) + "\t" +
        std::to_string(r.right - r.left) + "\t" + std::to_string(r.bottom - r.top) +
        (picture ? std::string("\t") + picture : std::string()));
    const std::wstring ack = logPath + L"." + std::wstring(name, name + std::strlen(name));
    for (int i = 0; i < 200 && GetFileAttributesW(ack.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(25);
}

// Waits (at most 3 s) until a window of a thread that takes messages has
// painted itself and its controls, and a little longer for the picture to
// reach the display.
void WaitDrawn(HWND window)
{
    const auto pending = [window] {
        if (GetUpdateRect(window, nullptr, FALSE)) return true;
        for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            if (IsWindowVisible(child) && GetUpdateRect(child, nullptr, FALSE)) return true;
        return false;
    };
    for (int i = 0; i < 150; ++i) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 3000, &ignored);
        if (!pending()) break;
        Sleep(20);
    }
    Sleep(200);
}

struct Windows {
    DWORD processId;
    std::vector<HWND> dialogs;
};

BOOL CALLBACK Collect(HWND window, LPARAM parameter)
{
    auto* found = reinterpret_cast<Windows*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == found->processId && ClassOf(window) == L"#32770") found->dialogs.push_back(window);
    return TRUE;
}

// The texts of a message box's static controls (the icon has none).
std::wstring MessageBoxText(HWND box)
{
    std::wstring text;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(child).c_str(), L"Static") != 0) continue;
        const std::wstring part = Text(child);
        if (part.empty()) continue;
        if (!text.empty()) text += L"\n";
        text += part;
    }
    return text;
}

// Sends window the registered message request with inspect.dll hooked into
// the thread that owns it, so that the DLL answers it there (see
// inspect.cpp).
void AskInside(HWND window, const wchar_t* request)
{
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dllPath(self, n);
    dllPath = dllPath.substr(0, dllPath.find_last_of(L"\\/") + 1) + L"inspect.dll";
    static HMODULE dll = LoadLibraryW(dllPath.c_str());
    // Through void (*)(), the one cast between function types without a warning.
    const auto hook =
        dll ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(GetProcAddress(dll, "InspectHook"))) : nullptr;
    HHOOK installed =
        hook ? SetWindowsHookExW(WH_CALLWNDPROC, hook, dll, GetWindowThreadProcessId(window, nullptr)) : nullptr;
    if (!installed) return;
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, RegisterWindowMessageW(request), 0, 0, SMTO_NORMAL, 5000, &ignored);
    UnhookWindowsHookEx(installed);
}

// Has the static measure its text inside its own program and logs the
// result.
void Measure(HWND message)
{
    AskInside(message, L"KivraSuite.Measure");
    if (!GetPropW(message, L"KivraSuite.Measured")) {
        Log("measure\tfailed");
        return;
    }
    const auto number = [message](const wchar_t* name) {
        return std::to_string(reinterpret_cast<INT_PTR>(GetPropW(message, name)));
    };
    RECT client{};
    GetClientRect(message, &client);
    POINT origin{0, 0};
    ClientToScreen(message, &origin);
    Log("measure\t" + number(L"KivraSuite.TextHeight") + "\t" + number(L"KivraSuite.LineHeight") + "\t" +
        number(L"KivraSuite.TextWidth") + "\t" + std::to_string(origin.x) + "\t" + std::to_string(origin.y) + "\t" +
        std::to_string(client.right) + "\t" + std::to_string(client.bottom));
}

void Click(HWND button)
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &ignored);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fputs("usage: uidriver LOG [options] -- PROGRAM\n", stderr);
        return 2;
    }
    logPath = argv[1];
    logFile = CreateFileW(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (logFile == INVALID_HANDLE_VALUE) return 2;

    std::wstring click = L"ok";
    std::wstring snaps;
    std::wstring directory;
    DWORD timeout = 60000;
    std::wstring program;
    for (int i = 2; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a.rfind(L"--click=", 0) == 0)
            click = a.substr(8);
        else if (a.rfind(L"--snap=", 0) == 0)
            snaps = a.substr(7);
        else if (a.rfind(L"--timeout=", 0) == 0)
            timeout = static_cast<DWORD>(std::wcstoul(a.c_str() + 10, nullptr, 10)) * 1000;
        else if (a.rfind(L"--cwd=", 0) == 0)
            directory = a.substr(6);
        else if (a == L"--" && i + 1 < argc)
            program = argv[++i];
    }
    const bool snapProgress = snaps.find(L"progress") != std::wstring::npos;
    const bool snapDone = snaps.find(L"done") != std::wstring::npos;
    const bool snapBoxes = snaps.find(L"messagebox") != std::wstring::npos;

    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
        Log("error\tcannot start the program (" + std::to_string(GetLastError()) + ")");
        return 2;
    }
    Log("start\t" + std::to_string(process.dwProcessId));

    std::set<HWND> boxesSeen;
    std::wstring lastWorking;
    bool progressSnapped = false;
    bool dialogShown = false;
    bool finished = false;
    const ULONGLONG deadline = GetTickCount64() + timeout;

    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetTickCount64() > deadline) {
            Log("timeout");
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 5000);
            return 1;
        }
        Windows found{process.dwProcessId, {}};
        EnumWindows(Collect, reinterpret_cast<LPARAM>(&found));
        for (HWND window : found.dialogs) {
            if (!Shown(window)) continue;
            HWND message = GetDlgItem(window, kMessage);
            if (!message) {
                // A message box: recorded once it shows its text, then OK.
                if (boxesSeen.count(window)) continue;
                const std::wstring text = MessageBoxText(window);
                if (text.empty()) continue;
                boxesSeen.insert(window);
                Log("messagebox\t" + Field(Text(window)) + "\t" + Field(text));
                if (snapBoxes) {
                    WaitDrawn(window);
                    AskInside(window, L"KivraSuite.Print");
                    const bool printed = GetPropW(window, L"KivraSuite.Printed") != nullptr;
                    Snap(("messagebox-" + std::to_string(boxesSeen.size())).c_str(), window,
                         printed ? "window.bmp" : nullptr);
                }
                Click(GetDlgItem(window, IDOK));
                continue;
            }

            if (!dialogShown) {
                dialogShown = true;
                Log("shown");
            }
            HWND panel = FindWindowExW(window, nullptr, L"#32770", nullptr);
            if (panel && Shown(panel) && GetDlgItem(panel, kProgressBar)) {
                const std::wstring status = Text(GetDlgItem(panel, kStatus));
                const std::wstring working = Text(message) + L"\t" + status;
                if (working != lastWorking && !status.empty()) {
                    lastWorking = working;
                    Log("working\t" + Field(Text(message)) + "\t" + Field(status));
                }
                if (snapProgress && !progressSnapped && !status.empty() && status != L"Static") {
                    progressSnapped = true;
                    Snap("progress", window);
                }
                continue;
            }

            HWND yes = GetDlgItem(window, kYes);
            HWND no = GetDlgItem(window, kNo);
            HWND ok = GetDlgItem(window, kOk);
            if (finished || !(Shown(yes) || Shown(no) || Shown(ok))) continue;
            // Finished: once the dialog takes messages again its text is final.
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored);
            finished = true;
            std::string buttons;
            if (Shown(yes)) buttons += " Yes";
            if (Shown(no)) buttons += " No";
            if (Shown(ok)) buttons += " OK";
            Log("finished\t" + std::to_string(GetTickCount64()));
            Log("dialog\t" + Field(Text(message)) + "\t" + buttons.substr(1));
            Measure(message);
            if (snapDone) {
                WaitDrawn(window);
                Snap("done", window);
            }

            Log("click\t" + Utf8(click));
            if (click == L"close")
                PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
            else if (click == L"yes")
                Click(yes);
            else if (click == L"no")
                Click(no);
            else
                Click(ok);
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    Log("exit\t" + std::to_string(code));
    return 0;
}
