// Resource ids of the program's dialogs, icons and strings (shared by quillon.rc and the code).
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128
#define IDI_ABOUT 129
// The main dialog's controls; the code names them as app::IDC_* (dialog_host.h).
#ifdef RC_INVOKED
#define IDC_PROGRESS_LOWER 1002
#define IDC_PROGRESS_UPPER 1003
#define IDC_HEADING 1007
#endif
#define IDC_ABOUT_TEXT 1008
// The main dialog's status line beneath the bars (DialogHost::SetStatusText).
#define IDC_STATUS 1009
// The system menu's about entry; the system menu's own commands are above 0xF000.
#define IDM_ABOUTBOX 0x0010
