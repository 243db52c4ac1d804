// Resource and control identifiers shared by the resource script and the code.
#pragma once

#define IDR_MAINFRAME 128

#define IDD_ABOUTBOX 100
#define IDD_CONTROL_PANEL 140
#define IDD_PORT_SETUP 175
#define IDD_CONNECT 176

#define IDC_ABOUT_NAME 1085
#define IDC_ABOUT_DATE 1086

#define IDC_SETUP_COMM 1106
#define IDC_KEYBOARD_CONTROL 1078
#define IDC_READ_SOFTWARE 1108
#define IDC_UPGRADE_SOFTWARE 1107
#define IDC_ABOUT 3
#define IDC_PANEL_GROUP 1111

#define IDC_PROGRESS 1057
#define IDC_COM1 1070
#define IDC_COM2 1071
#define IDC_COM3 1074
#define IDC_COM4 1075

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
