// Stands in for the game and the launcher in the Wine suite. Its part comes
// from its own file name:
//   Kivra.exe   the game: a window of class "KIVRA (Quantrel)", title "KIVRA",
//               asked to close with message 1124
//   KNet.exe    the launcher: class "TBattle", title "KivraBattle", asked to
//               close with WM_CLOSE
//   other       a document viewer: records what it was asked to open
// Options:
//   --ignore     stays when asked to close (else it ends)
//   --deny       its process cannot be opened with all access rights
//   --hold=MS    when asked to close, leaves a helper behind that keeps this
//                executable open, unshared, for MS milliseconds
//   --life=S     ends by itself after S seconds (default 40)
//   --keep-open=FILE
//                plays another program that has FILE open: opens it for
//                reading and writing, letting others only read it, and keeps
//                it open until a file "stop" appears beside this executable
//                or its life is over; its part is then "holder"
// Without options the game and the launcher record that they were started
// and end at once (the launcher that the patcher starts again).
//
// Every event is a line in standin.log beside the executable: the part, the
// event, and a time stamp in milliseconds.
#include <windows.h>

#include <aclapi.h>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr UINT kGameCloseMessage = WM_USER + 100;
constexpr wchar_t kHoldingEvent[] = L"KivraStandInHolding";

std::wstring selfPath;
std::string part;
UINT closeMessage = WM_CLOSE;
bool ignoreClose = false;
DWORD holdMilliseconds = 0;

std::wstring Directory(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

void Record(const std::string& event)
{
    const std::wstring log = Directory(selfPath) + L"standin.log";
    HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string line = part + "\t" + event + "\t" + std::to_string(GetTickCount64()) + "\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (; *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
    return out;
}

// Leaves a copy of this program behind that holds the executable open.
void LeaveHolder()
{
    std::wstring commandLine = L"\"" + selfPath + L"\" --holder=" + std::to_wstring(holdMilliseconds);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    HANDLE holding = CreateEventW(nullptr, TRUE, FALSE, kHoldingEvent);
    if (CreateProcessW(selfPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        // The helper says when it has the file.
        WaitForSingleObject(holding, 5000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(holding);
}

// Keeps file open as a writer does until told to stop.
int KeepOpen(const std::wstring& file, DWORD lifeSeconds)
{
    part = "holder";
    HANDLE held =
        CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        Record("open-failed\t" + std::to_string(GetLastError()));
        return 1;
    }
    Record("holding");
    const std::wstring stop = Directory(selfPath) + L"stop";
    const ULONGLONG end = GetTickCount64() + lifeSeconds * 1000ULL;
    while (GetFileAttributesW(stop.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < end) Sleep(50);
    CloseHandle(held);
    Record("released");
    return 0;
}

int Hold(DWORD milliseconds)
{
    HANDLE file = CreateFileW(selfPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    Record(file == INVALID_HANDLE_VALUE ? "hold-failed" : "holding");
    if (HANDLE holding = OpenEventW(EVENT_MODIFY_STATE, FALSE, kHoldingEvent)) {
        SetEvent(holding);
        CloseHandle(holding);
    }
    Sleep(milliseconds);
    Record("released");
    CloseHandle(file);
    return 0;
}

// Lets others open this process for waiting and reading only.
void DenyAllAccess()
{
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    wchar_t everyone[] = L"EVERYONE";
    access.Trustee.ptstrName = everyone;
    PACL acl = nullptr;
    if (SetEntriesInAclW(1, &access, nullptr, &acl) == ERROR_SUCCESS) {
        SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                        nullptr);
        LocalFree(acl);
    }
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == closeMessage) {
        Record(message == WM_CLOSE ? "asked-to-close" : "asked-to-close-1124");
        if (ignoreClose) return 0;
        if (holdMilliseconds) LeaveHolder();
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    selfPath = path;
    std::wstring name = selfPath.substr(selfPath.find_last_of(L"\\/") + 1);
    const wchar_t* windowClass = nullptr;
    const wchar_t* title = nullptr;
    if (_wcsicmp(name.c_str(), L"Kivra.exe") == 0) {
        part = "game";
        windowClass = L"KIVRA (Quantrel)";
        title = L"KIVRA";
        closeMessage = kGameCloseMessage;
    } else if (_wcsicmp(name.c_str(), L"KNet.exe") == 0) {
        part = "launcher";
        windowClass = L"TBattle";
        title = L"KivraBattle";
    } else {
        part = "viewer";
    }

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool deny = false;
    DWORD lifeSeconds = 40;
    bool options = false;
    std::wstring keepOpen;
    std::string arguments;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        arguments += (i > 1 ? " " : "") + Narrow(argv[i]);
        if (a.rfind(L"--holder=", 0) == 0) return Hold(static_cast<DWORD>(std::wcstoul(a.c_str() + 9, nullptr, 10)));
        if (a.rfind(L"--", 0) != 0) continue;
        options = true;
        if (a == L"--ignore") ignoreClose = true;
        if (a == L"--deny") deny = true;
        if (a.rfind(L"--hold=", 0) == 0)
            holdMilliseconds = static_cast<DWORD>(std::wcstoul(a.c_str() + 7, nullptr, 10));
        if (a.rfind(L"--life=", 0) == 0) lifeSeconds = static_cast<DWORD>(std::wcstoul(a.c_str() + 7, nullptr, 10));
        if (a.rfind(L"--keep-open=", 0) == 0) keepOpen = a.substr(12);
    }
    if (!keepOpen.empty()) return KeepOpen(keepOpen, lifeSeconds);
    if (!windowClass || !options) {
        wchar_t directory[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, directory);
        Record("started\t" + arguments + "\t" + Narrow(directory));
        return 0;
    }
    if (deny) DenyAllAccess();

    WNDCLASSW type{};
    type.lpfnWndProc = WindowProcedure;
    type.hInstance = instance;
    type.lpszClassName = windowClass;
    RegisterClassW(&type);
    HWND window =
        CreateWindowW(windowClass, title, WS_OVERLAPPEDWINDOW, 0, 0, 160, 80, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    SetTimer(window, 1, lifeSeconds * 1000, nullptr);
    Record("ready");

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER) {
            Record("life-over");
            break;
        }
        DispatchMessageW(&message);
    }
    Record("end");
    return 0;
}
