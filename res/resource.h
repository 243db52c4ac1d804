// Resource and control identifiers shared by the resource script and the code.
#pragma once

#define IDR_MAINFRAME 128

#define IDD_ABOUTBOX 100
#define IDD_CONTROL_PANEL 140
#define IDD_REMOTE_PANEL 141
#define IDD_UPGRADE 171
#define IDD_READ_SOFTWARE 172
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
#define IDC_PROGRESS_TEXT 1087
#define IDC_UPGRADE_NOTICE 1093
#define IDC_COM1 1070
#define IDC_COM2 1071
#define IDC_COM3 1074
#define IDC_COM4 1075
// Communication Setup's list of the system's ports beyond COM4 (template 175).
#define IDC_OTHER_PORT 1072
#define IDC_CAPTURE 1076

// The remote control's key buttons (template 141).
#define IDC_KEY_POWER 1080
#define IDC_KEY_INFO 1081
#define IDC_KEY_PAUSE 1082
#define IDC_KEY_TEXT 1083
#define IDC_KEY_UHF 1084
#define IDC_KEY_FAV_UP 1085
#define IDC_KEY_FAV_DOWN 1086
#define IDC_KEY_FAV 1087
#define IDC_KEY_AUDIO 1088
#define IDC_KEY_MUTE 1089
#define IDC_KEY_CH_UP 1090
#define IDC_KEY_OK 1091
#define IDC_KEY_VOL_RIGHT 1092
#define IDC_KEY_VOL_LEFT 1093
#define IDC_KEY_CH_DOWN 1094
#define IDC_KEY_MENU 1095
#define IDC_KEY_EXIT 1096
#define IDC_KEY_RECALL 1097
#define IDC_KEY_TV_RADIO 1098
#define IDC_KEY_SAT_TV 1099
#define IDC_KEY_1 1100
#define IDC_KEY_2 1101
#define IDC_KEY_3 1102
#define IDC_KEY_4 1103
#define IDC_KEY_5 1104
#define IDC_KEY_6 1105
#define IDC_KEY_7 1106
#define IDC_KEY_8 1107
#define IDC_KEY_9 1108
#define IDC_KEY_PNS 1109
#define IDC_KEY_0 1110
#define IDC_KEY_EPG 1111

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
