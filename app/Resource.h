// Resource ids of the patcher's dialogs and icon.
#pragma once

#define IDR_MAINFRAME 128        // the application icon
#define IDD_UPDATE_DIALOG 102    // the main dialog
#define IDD_PROGRESS_DIALOG 103  // the progress panel

#define IDC_PROGRESS 1000  // panel: the progress bar
#define IDC_STATUS 1003    // panel: the status text
#define IDC_MESSAGE 1004   // main dialog: the message text
#define IDC_BUTTON_YES 1006
#define IDC_BUTTON_NO 1007
#define IDC_BUTTON_OK 1008
