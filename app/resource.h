// Resource and control ids of the front end.
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_MAIN_DIALOG 102
#define IDR_MAINFRAME 128
#define IDI_CORVANE 136

#define IDC_BUTTON_INSTALL 1000
#define IDC_BUTTON_EXTRACT 1001
#define IDC_COMBO_DEVICE 1002
#define IDC_EDIT_PID 1003
#define IDC_EDIT_VID 1004
#define IDC_EDIT_UID 1005
#define IDC_CHECK_EDIT 1009
#define IDC_EDIT_NAME 1010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
