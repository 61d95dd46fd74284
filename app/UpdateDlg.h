// The patcher's one window: it closes the game and the launcher, runs the
// update behind the progress panel, and shows the outcome.
#pragma once

#include "app/ProgressDlg.h"
#include "platform/Framework.h"
#include "update/UpdateUi.h"

// The dialog is the update procedure's user interface: its progress panel
// shows the progress, its message boxes the messages.
class CUpdateDlg : public CDialog, public UpdateUi {
public:
    explicit CUpdateDlg(CWnd* parent = nullptr);
    ~CUpdateDlg() override;

    CProgressDlg* m_pProgressDlg;  // owned; deleted in PostNcDestroy
    bool m_bLauncherWasRunning;    // the launcher's window was found at start
    CString m_strVersionSummary;   // written by the update when a patch was applied
    CButton m_btnOk;
    CButton m_btnYes;
    CButton m_btnNo;
    CString m_strMessage;  // the text of the message static
    HICON m_hIcon;

    bool ShutDownGame();
    bool ShutDownLauncher();
    bool DoUpdate();
    void OnClickedYes();
    void OnClickedNo();
    void OnClickedOk();

    // UpdateUi
    void SetProgressRange(std::int32_t upper) override;
    void SetProgressPos(std::int32_t position) override;
    void SetStatus(const char* text) override;
    void Refresh() override;
    void ShowMessage(UpdateMessageId id, const char* detail) override;
    void ShowNeedVersion(const VersionNumber& need) override;
    bool LauncherWasRunning() const override;
    void SetVersionSummary(const char* text) override;
    void ShowUnpacking(std::int64_t done, std::int64_t total, bool finished) override;
    void ShowNote(const char* text) override;
    void ShowProblem(const char* text) override;
    void ShowText(const char* text) override;

protected:
    void DoDataExchange(CDataExchange* exchange) override;
    void PostNcDestroy() override;
    BOOL OnInitDialog() override;
    BOOL OnCommand(int id) override;
    void OnPaint() override;
    HCURSOR OnQueryDragIcon() override;

private:
    // Posts WM_CLOSE to this dialog; the run has failed.
    BOOL Close();
};
