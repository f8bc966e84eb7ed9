// Resource and control ids of the download tool, shared by the resource script and the code.
#pragma once

// Dialogs, icon.
#define IDD_ABOUTBOX 100
#define IDD_MAIN 129
#define IDI_MAIN 128

// String table.
#define IDS_TITLE 128
#define IDS_CAPTION 129
#define IDS_NO_FILE 131
#define IDS_NOT_CONNECTED 132
#define IDS_PORT_INIT_FAILED 133
#define IDS_NOT_READY 134
#define IDS_FILE_OPEN_ERROR 135
#define IDS_MEMORY_ERROR 136
#define IDS_CRC_MISMATCH 137
#define IDS_NO_ACK 138
#define IDS_DOWNLOAD_SUCCEEDED 139
#define IDS_DOWNLOAD_FAILED 140
#define IDS_DOWNLOAD_ERROR 141

// Controls of the main dialog.
#define IDC_FILE_PATH 1000
#define IDC_BROWSE 1001
#define IDC_PORT 1002
#define IDC_BAUDRATE 1003
#define IDC_STATUS_TEXT 1004
#define IDC_PROGRESS 1005
#define IDC_START 1006
#define IDC_FILE_LABEL 1008
#define IDC_PORT_LABEL 1009
#define IDC_BAUDRATE_LABEL 1010
#define IDC_STATUS_LABEL 1011
#define IDC_CONNECT 1012
#define IDC_FILE_CRC 1013
#define IDC_UNNAMED (-1)

// The About box's command (no control of the main dialog sends it).
#define ID_APP_ABOUT 57664
