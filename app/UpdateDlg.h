// The patcher's one window: it closes the game and the launcher, runs the
// update behind the progress panel, and shows the outcome.
#pragma once

#include "app/ProgressDlg.h"
#include "platform/Framework.h"

class CUpdateDlg : public CDialog {
public:
    explicit CUpdateDlg(CWnd* parent = nullptr);
    ~CUpdateDlg() override;

    CProgressDlg* m_pProgressDlg;       // owned; deleted in PostNcDestroy
    bool m_bLauncherWasRunning;         // the launcher's window was found at start
    CString m_strVersionSummary;        // written by the update when a patch was applied
    CButton m_btnOk;
    CButton m_btnYes;
    CButton m_btnNo;
    CString m_strMessage;               // the text of the message static
    HICON m_hIcon;

    bool ShutDownGame();
    bool ShutDownLauncher();
    bool DoUpdate();
    void OnClickedYes();
    void OnClickedNo();
    void OnClickedOk();

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
