// The small dialog framework of the patcher: an application object, dialogs
// with data exchange, buttons and a progress bar, as far as the patcher uses
// them.
//
// On Windows the dialogs are real ones, built from the resource templates.
// On Linux each window is a model of what it would show, drawn on the
// terminal: the status text and a progress bar, message boxes as their
// caption and text, and the buttons of a modal dialog as a question.
#pragma once

#include <string>

#include "platform/Win32.h"

// A dialog member's text.
class CString {
public:
    CString() = default;
    CString(const char* text) : text_(text ? text : "") {}  // NOLINT: converts like the framework's own
    CString& operator=(const char* text)
    {
        text_ = text ? text : "";
        return *this;
    }
    CString& operator+=(const CString& more)
    {
        text_ += more.text_;
        return *this;
    }
    // printf rules.
    void Format(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    operator const char*() const { return text_.c_str(); }  // NOLINT

private:
    std::string text_;
};

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    // Shows or hides the window. A window that is shown is drawn at once,
    // with its controls: the patcher takes no message while it works.
    BOOL ShowWindow(int command);
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return ::PostMessageA(m_hWnd, message, wParam, lParam);
    }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }

    HWND m_hWnd = nullptr;
};

class CButton : public CWnd {};

// A progress bar: the panel drives it with PBM_SETRANGE32 and PBM_SETPOS.
class CProgressCtrl : public CWnd {};

// One direction of data exchange between a dialog's members and its controls.
class CDataExchange {
public:
    BOOL m_bSaveAndValidate;  // TRUE: controls to members
    HWND m_hDialog;
};

// Attaches a control member to the dialog's control id.
void DDX_Control(CDataExchange* exchange, int id, CWnd& control);
// Copies a control's text to or from a member.
void DDX_Text(CDataExchange* exchange, int id, CString& value);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);
    ~CDialog() override;

    // Runs the dialog modally; IDOK, IDCANCEL or what EndDialog was given.
    INT_PTR DoModal();
    // Creates the dialog modelessly, as a child of parent when the template
    // says so. TRUE once the window exists.
    BOOL Create(UINT templateId, CWnd* parent = nullptr);
    BOOL UpdateData(BOOL saveAndValidate = TRUE);
    void EndDialog(int result);
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

    // Binds members to controls; runs at creation and at every UpdateData.
    virtual void DoDataExchange(CDataExchange*) {}
    // After the window and its controls exist: UpdateData(FALSE). TRUE.
    virtual BOOL OnInitDialog();
    // The window is gone; the object may delete what it owns (or itself).
    virtual void PostNcDestroy() {}
    // The default OK action: UpdateData(TRUE), then EndDialog(IDOK).
    virtual void OnOK();
    // The default cancel action, also for WM_CLOSE: EndDialog(IDCANCEL).
    virtual void OnCancel();
    // A button was clicked. The default takes IDOK and IDCANCEL.
    virtual BOOL OnCommand(int id);
    virtual void OnPaint() {}
    virtual HCURSOR OnQueryDragIcon() { return nullptr; }

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
};

class CWinApp {
public:
    // Without a name, the application's name is the executable's file name
    // without its extension.
    explicit CWinApp(const char* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance() { return FALSE; }
    HICON LoadIcon(UINT id) const;

    CWnd* m_pMainWnd = nullptr;
    const char* m_pszAppName = nullptr;
    // What the Linux front-end prints for --help and --version, and exits
    // with 0. The Windows program takes no options.
    const char* m_pszHelpText = nullptr;
    const char* m_pszVersionText = nullptr;
    // The other options the Linux front-end takes, each run instead of
    // InitInstance, its result the exit status.
    struct Option {
        const char* name;  // "--dry-run"
        int (*run)();
    };
    const Option* m_pOptions = nullptr;
    int m_nOptions = 0;
    // The Linux front-end takes one folder beside its options, the folder
    // the program works in (AfxWorkFolder), or a file of one of these names
    // in it. Without it, the program's own folder when that holds one of
    // these names (null-terminated list), else the current folder.
    const char* const* m_ppszWorkFolderMarks = nullptr;
    // What the Linux front-end says of a work folder that holds none of the
    // marks, its path in place of %s, refusing to run (exit status 2);
    // null: such a folder is taken.
    const char* m_pszNoWorkFolderText = nullptr;
    // What the process returns when the application ends.
    int m_nExitCode = 0;
};

// Painting a window between BeginPaint and EndPaint.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* window);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(m_hDC, x, y, icon); }

private:
    CWnd* m_pWnd;
    HDC m_hDC = nullptr;
    alignas(8) unsigned char m_paint[128];  // the platform's paint record
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
// Tells the user which installation the program works on, gameDir (a
// Windows path, or null when none was found). On Linux this is the first
// line of the run: the Wine prefix, the game directory as a host path, and
// the prefix's owner when that is another user than the one running the
// program. On Windows the dialog is all a player sees: nothing.
void AfxShowInstallation(const char* gameDir);
// When the Wine prefix in use was not named (no WINEPREFIX) and does not hold
// the program's registry value (a path below HKEY_LOCAL_MACHINE and a value
// name), says on Linux which prefixes of the usual game launchers (Lutris,
// Bottles, Steam, PlayOnLinux) hold it, and how to choose one; none is
// chosen. On Windows nothing.
void AfxShowOtherInstallations(const char* key, const char* value);
// One line that tells the user what the program did, beside its dialog: on
// Linux a line of standard output (after a progress line, on a line of its
// own); on Windows nothing, the dialog being all a player sees.
void AfxShowNote(const char* text);
// The same for a line that says why the program stopped or what it could
// not do: on Linux it goes to standard error, with the message boxes.
void AfxShowProblem(const char* text);
// How far a long job of the program's own has got before its dialog shows
// progress (what: "Unpacking update.lzh"; done and total bytes), called as
// it goes and once more with finished when it ends (done -1 when it stopped
// short). On Linux a line of its
// own on a terminal, drawn anew, and otherwise a line for each tenth done;
// on Windows a full stop on standard error for each step.
void AfxShowWork(const char* what, long long done, long long total, bool finished);
// The folder the program works in, as the Linux command line named it (see
// CWinApp::m_ppszWorkFolderMarks), absolute, in the system code page and
// ending in a separator; it is the current directory when the program
// starts. Null on Windows, where the program's own folder is meant, taken
// from its command line.
const char* AfxWorkFolder();
// A message box under the application's name.
int AfxMessageBox(const char* text, UINT type = MB_OK);
// A message box with text under caption: the one way the program's texts
// reach a message box. Windows shows them converted from code page 949, so
// they read correctly whatever the system's code page; Linux as
// MessageBoxA does.
int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type);

// What the application gives the Linux models: the controls of each dialog
// template. Windows takes them from the resource script.
struct ControlTemplate {
    int id;
    const char* className;  // "Button", "Static", "msctls_progress32"
    const char* text;
};
struct DialogTemplate {
    UINT id;
    const char* caption;
    bool child;  // a panel inside its parent, shown at creation
    const ControlTemplate* controls;
    int controlCount;
};
// Registers the application's templates, before its first dialog is made
// (the table must outlive the application). The Linux models look templates
// up by id; a template that was not registered gives a dialog without
// controls.
void AfxRegisterDialogTemplates(const DialogTemplate* templates, int count);
const DialogTemplate* AfxFindDialogTemplate(UINT id);
