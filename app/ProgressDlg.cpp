#include "app/ProgressDlg.h"

#include "app/Resource.h"

CProgressDlg::CProgressDlg(CWnd* parent) : CDialog(IDD_PROGRESS_DIALOG, parent) {}

CProgressDlg::~CProgressDlg() = default;

void CProgressDlg::DoDataExchange(CDataExchange* exchange)
{
    CDialog::DoDataExchange(exchange);
    DDX_Control(exchange, IDC_PROGRESS, m_progress);
    DDX_Text(exchange, IDC_STATUS, m_strStatus);
}

void CProgressDlg::SetProgressRange(int upper) { m_progress.SendMessage(PBM_SETRANGE32, 0, upper); }

void CProgressDlg::SetProgressPos(int position)
{
    m_progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(position), 0);
}
