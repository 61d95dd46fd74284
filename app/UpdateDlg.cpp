// The main dialog: everything happens in OnInitDialog, before the dialog
// takes its first message.
#include "app/UpdateDlg.h"

#include "app/Directories.h"
#include "app/Messages.h"
#include "app/ProgramWindows.h"
#include "app/Resource.h"
#include "update/Globals.h"
#include "update/UpdateProcedure.h"
#include "update/Version.h"

namespace {

constexpr UINT GameShutdownMessage = WM_USER + 100;
constexpr DWORD kProcessWait = 10000;
const VersionNumber ForceCloseLauncherVersion = {1, 0, 2, 29};

// "Updating...." in Korean.
constexpr char kWorkingText[] = "\xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE\xC1\xDF....";

// Waits for the process behind window to end. True when it ended, or when
// its process cannot be had (it is not waited for); handle receives the
// process while it still runs.
bool ProcessEnded(HWND window, HANDLE* stillRunning)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId);
    if (!process) return true;
    if (WaitForSingleObject(process, kProcessWait) == WAIT_OBJECT_0) {
        CloseHandle(process);
        return true;
    }
    *stillRunning = process;
    return false;
}

}  // namespace

CUpdateDlg::CUpdateDlg(CWnd* parent)
    : CDialog(IDD_UPDATE_DIALOG, parent),
      m_pProgressDlg(nullptr),
      m_bLauncherWasRunning(false),
      m_hIcon(nullptr)
{
    const CWinApp* app = AfxGetApp();
    if (app) m_hIcon = app->LoadIcon(IDR_MAINFRAME);
}

CUpdateDlg::~CUpdateDlg() = default;

void CUpdateDlg::DoDataExchange(CDataExchange* exchange)
{
    CDialog::DoDataExchange(exchange);
    DDX_Control(exchange, IDC_BUTTON_OK, m_btnOk);
    DDX_Control(exchange, IDC_BUTTON_YES, m_btnYes);
    DDX_Control(exchange, IDC_BUTTON_NO, m_btnNo);
    DDX_Text(exchange, IDC_MESSAGE, m_strMessage);
}

BOOL CUpdateDlg::OnCommand(int id)
{
    switch (id) {
    case IDC_BUTTON_YES: OnClickedYes(); return TRUE;
    case IDC_BUTTON_NO: OnClickedNo(); return TRUE;
    case IDC_BUTTON_OK: OnClickedOk(); return TRUE;
    default: return CDialog::OnCommand(id);
    }
}

BOOL CUpdateDlg::Close()
{
    PostMessage(WM_CLOSE);
    if (CWinApp* app = AfxGetApp()) app->m_nExitCode = 1;
    return FALSE;
}

BOOL CUpdateDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    const bool found = InitDirectories();
    AfxShowInstallation(found ? GameDir : nullptr);
    if (!found) {
        ShowOtherInstallations();
        ShowUpdateMessage(kMessageNoGamePath, "");
        return Close();
    }

    m_strMessage = kWorkingText;
    m_btnYes.ShowWindow(SW_HIDE);
    m_btnNo.ShowWindow(SW_HIDE);
    m_btnOk.ShowWindow(SW_HIDE);
    UpdateData(FALSE);

    if (!ShutDownGame()) return Close();
    if (!ShutDownLauncher()) return Close();

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    m_pProgressDlg = new CProgressDlg(this);
    m_pProgressDlg->Create(IDD_PROGRESS_DIALOG, this);
    m_pProgressDlg->ShowWindow(SW_SHOW);
    ShowWindow(SW_SHOW);

    if (!DoUpdate()) return Close();

    m_strMessage = GetCompletionText(m_bLauncherWasRunning ? 1 : 2);
    m_strMessage += m_strVersionSummary;
    UpdateData(FALSE);
    return TRUE;
}

bool CUpdateDlg::ShutDownGame()
{
    HWND game = FindWindowA(kGameWindow.className, kGameWindow.title);
    if (!game) return true;
    ::PostMessageA(game, GameShutdownMessage, 0, 0);
    game = FindWindowA(kGameWindow.className, kGameWindow.title);
    if (!game) return true;

    HANDLE process = nullptr;
    if (ProcessEnded(game, &process)) return true;
    CloseHandle(process);
    ShowUpdateMessage(kMessageGameWait, "");
    return false;
}

bool CUpdateDlg::ShutDownLauncher()
{
    HWND launcher = FindWindowA(kLauncherWindow.className, kLauncherWindow.title);
    m_bLauncherWasRunning = launcher != nullptr;
    if (!launcher) return true;
    ::PostMessageA(launcher, WM_CLOSE, 0, 0);
    launcher = FindWindowA(kLauncherWindow.className, kLauncherWindow.title);
    if (!launcher) return true;
    ::PostMessageA(launcher, WM_CLOSE, 0, 0);

    HANDLE process = nullptr;
    if (ProcessEnded(launcher, &process)) return true;

    char path[kMaxPath];
    VersionNumber version{0, 0, 0, 0};
    if (!JoinPath(path, GameDir, "KNet.exe") || !ReadFileVersion(path, version)) {
        CloseHandle(process);
        ShowUpdateMessage(kMessageNoLauncherVersion, "");
        return false;
    }
    if (CompareVersions(version, ForceCloseLauncherVersion) == VersionOrder::Greater) {
        // A newer launcher is left running: its wait counts as exceeded.
        CloseHandle(process);
        ShowUpdateMessage(kMessageLauncherWait, "");
        return false;
    }
    if (!TerminateProcess(process, 0)) {
        CloseHandle(process);
        ShowUpdateMessage(kMessageLauncherNotEnded, "");
        return false;
    }
    CloseHandle(process);
    return true;
}

bool CUpdateDlg::DoUpdate()
{
    m_pProgressDlg->SetProgressRange(50);
    m_pProgressDlg->SetProgressPos(0);
    const bool launcherReplaced = UpdateLauncher();
    if (!RunUpdate(launcherReplaced, *this)) return false;
    m_pProgressDlg->ShowWindow(SW_HIDE);
    if (m_bLauncherWasRunning) {
        m_btnYes.ShowWindow(SW_SHOW);
        m_btnNo.ShowWindow(SW_SHOW);
    } else {
        m_btnOk.ShowWindow(SW_SHOW);
    }
    return true;
}

void CUpdateDlg::SetProgressRange(std::int32_t upper) { m_pProgressDlg->SetProgressRange(upper); }

void CUpdateDlg::SetProgressPos(std::int32_t position) { m_pProgressDlg->SetProgressPos(position); }

void CUpdateDlg::SetStatus(const char* text) { m_pProgressDlg->m_strStatus.Format("%s", text); }

void CUpdateDlg::Refresh() { m_pProgressDlg->UpdateData(FALSE); }

void CUpdateDlg::ShowMessage(UpdateMessageId id, const char* detail) { ShowUpdateMessage(id, "%s", detail); }

void CUpdateDlg::ShowNeedVersion(const VersionNumber& need)
{
    ShowUpdateMessage(kMessageFormatted, GetUpdateMessage(kMessageNeedVersionFormat), need.major, need.minor,
                      need.minor2, need.build);
}

bool CUpdateDlg::LauncherWasRunning() const { return m_bLauncherWasRunning; }

void CUpdateDlg::SetVersionSummary(const char* text) { m_strVersionSummary = text; }

void CUpdateDlg::ShowUnpacking(std::int64_t done, std::int64_t total, bool finished)
{
    AfxShowWork("Unpacking update.lzh", done, total, finished);
}

void CUpdateDlg::ShowNote(const char* text) { AfxShowNote(text); }

void CUpdateDlg::ShowProblem(const char* text) { AfxShowProblem(text); }

void CUpdateDlg::ShowText(const char* text) { ShowMessageBox(m_hWnd, text, GetUpdateMessage(kMessageCaption), MB_OK); }

void CUpdateDlg::OnClickedYes()
{
    CDialog::OnOK();
    char path[kMaxPath];
    if (JoinPath(path, GameDir, "KNet.exe")) ShellExecuteA(nullptr, nullptr, path, nullptr, nullptr, SW_SHOWNORMAL);
}

void CUpdateDlg::OnClickedNo() { CDialog::OnCancel(); }

void CUpdateDlg::OnClickedOk() { CDialog::OnCancel(); }

void CUpdateDlg::PostNcDestroy()
{
    delete m_pProgressDlg;
    m_pProgressDlg = nullptr;
    CDialog::PostNcDestroy();
}

void CUpdateDlg::OnPaint()
{
    if (!IsIconic(m_hWnd)) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int iconWidth = GetSystemMetrics(SM_CXICON);
    const int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client{};
    GetClientRect(m_hWnd, &client);
    const int x = (client.right - client.left - iconWidth + 1) / 2;
    const int y = (client.bottom - client.top - iconHeight + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CUpdateDlg::OnQueryDragIcon() { return m_hIcon; }
