// Identifiers of the Windows program's resources and of the main dialog's controls,
// which both dialogs use (the resource scripts include this file too).
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_WENDROVIX_DIALOG 102
#define IDR_MAINFRAME 128
#define IDR_CONVERTER 130

#define IDC_INPUT 1000
#define IDC_OPEN 1001
#define IDC_OUTPUT 1002
#define IDC_SAVE 1003
#define IDC_LEVEL 1004
#define IDC_INFO 1005
#define IDC_START 1006
#define IDC_ABOUT 1007
#define IDC_PROGRESS 1008

#define IDM_ABOUTBOX 16
