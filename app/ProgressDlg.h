// The progress panel: a status text and a progress bar that fill the main
// dialog's client area while the update runs.
#pragma once

#include "platform/Framework.h"

class CProgressDlg : public CDialog {
public:
    explicit CProgressDlg(CWnd* parent = nullptr);
    ~CProgressDlg() override;

    // The bar's range: 0 to upper, 32-bit.
    virtual void SetProgressRange(int upper);
    virtual void SetProgressPos(int position);

    CProgressCtrl m_progress;
    CString m_strStatus;  // shown by UpdateData(FALSE)

protected:
    void DoDataExchange(CDataExchange* exchange) override;
};
