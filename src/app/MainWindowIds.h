#pragma once

// Numbers of the main window: its controls, commands, timers and the
// messages other threads and other instances send it. The numbers are the
// ones the rest of the program knows them by; tests and the tray use them.

#include "keymodel/KeyCodes.h"

#include <array>
#include <cstdint>

namespace kestrune {

// The tray icon's pictures, by the number the skin's icon files carry.
inline constexpr int kIconAttached = 141;
inline constexpr int kIconDetached = 128;
inline constexpr int kIconRecording = 142;

} // namespace kestrune

namespace kestrune::mainwnd {

// Controls outside the keyboard picture.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdProfiles = 1005;
inline constexpr int kIdApply = 1006;
inline constexpr int kIdMacro = 1007;
inline constexpr int kIdProfileMenu = 1009; // hidden button; the tray's single click
inline constexpr int kIdLink = 1121;
inline constexpr int kIdHelp = 1122;
inline constexpr int kIdMinimize = 1123;
inline constexpr int kIdClose = 1124;
inline constexpr int kIdVersion = 1134;
inline constexpr int kIdMenu = 1139;
inline constexpr int kIdProgress = 1177;

// The keyboard picture.
inline constexpr std::array<int, kGKeyCount> kGKeyIds = {1000, 1001, 1002, 1003, 1004, 1140, 1141, 1142, 1143};
inline constexpr int kGKeysThatReact = 5; // G6 to G9 are shown but never react
inline constexpr int kIdFn = 1174;
inline constexpr std::array<int, kOrdinaryKeyCount> kKeyButtonIds = {
    1058, 1075, 1073, 1060, 1046, 1061, 1062, 1063, 1051, 1064, 1065, 1066, 1077, 1076, 1052, 1053, 1044, 1047,
    1059, 1048, 1050, 1074, 1045, 1072, 1049, 1071, 1030, 1031, 1032, 1033, 1034, 1035, 1036, 1037, 1038, 1039,
    1070, 1022, 1043, 1056, 1090, 1040, 1041, 1054, 1055, 1042, 1067, 1068, 1029, 1078, 1079, 1080, 1010, 1011,
    1012, 1013, 1014, 1015, 1023, 1024, 1025, 1026, 1027, 1028, 1091, 1093, 1094, 1097, 1095, 1098, 1096, 1099,
    1103, 1101, 1100, 1102, 1092, 1069, 1088, 1083, 1089, 1082, 1081, 1085, 1086, 1084, 1087, 1115, 1116, 1117,
    1112, 1113, 1114, 1108, 1109, 1110, 1120, 1104, 1118, 1119, 1105, 1106, 1107, 1111};
inline constexpr int kIdF1 = 1010; // F1 to F4: 1010 to 1013
inline constexpr int kIdF5 = 1014;
inline constexpr int kIdD1 = 1016; // D1 to D6 of the second layout variant: 1016 to 1021
inline constexpr int kVariantKeyCount = 6;
inline constexpr int kIdEnter = 1070;
inline constexpr int kIdBracketKey = 1055; // "]}", which the Enter key overlaps
inline constexpr int kIdEnterLower = 1057; // the hidden lower part of Enter
inline constexpr int kIdLockCaps = 1125;
inline constexpr int kIdLockNum = 1126;
inline constexpr int kIdLockScroll = 1127;
inline constexpr int kIdLockBank = 1128;
inline constexpr int kIdFlip0 = 1129;
inline constexpr int kIdFlip1 = 1130;
inline constexpr int kIdFlip2 = 1131;
inline constexpr int kIdLeftArrow = 1132;
inline constexpr int kIdRightArrow = 1133;
inline constexpr int kIdProfile1 = 1135; // 1135 to 1137: keyboard profiles 0 to 2
inline constexpr int kIdDefault = 1138;
inline constexpr int kIdSwitch = 1144;

// Menu commands.
inline constexpr int kCmdOpen = 32771;
inline constexpr int kCmdAbout = 32773;
inline constexpr int kCmdExit = 32774;
inline constexpr int kCmdImport = 32776;
inline constexpr int kCmdExport = 32777;
inline constexpr int kCmdClose = 32779;
inline constexpr int kCmdUpdate = 32780;
inline constexpr int kCmdChinese = 32783;
inline constexpr int kCmdEnglish = 32786;
inline constexpr int kCmdDefaultProfile = 9000; // 9001 to 9003: keyboard profiles 0 to 2
inline constexpr int kCmdLastProfile = 9200;
inline constexpr int kSysCmdAboutFirst = 0x10;

// Messages, as Qt event types (see WindowMessage).
inline constexpr int kMsgInit = 0x4D4E; // 'MN', first parameter 'INIT'
inline constexpr int kMsgOpen = 0x5350; // 'SP', first parameter 'OPEN'
inline constexpr int kMsgKill = 0x4D4B; // 'MK', first parameter 'KILL'
inline constexpr std::uint32_t kParamInit = 0x494E4954;
inline constexpr std::uint32_t kParamOpen = 0x4F50454E; // 'OPEN'
inline constexpr std::uint32_t kParamKill = 0x4C4C494B;
// 'UPDT' with 'SP' from a later start: open the firmware update dialog, which
// no menu offers (command 32780).
inline constexpr std::uint32_t kParamFirmwareUpdate = 0x55504454;
inline constexpr std::uint32_t kMainWindowMarker = 0x4D41494E; // 'MAIN'

// Timers.
inline constexpr int kTimerProgress = 1050;
inline constexpr int kProgressPeriodMs = 50;
inline constexpr int kProgressFrames = 10;
inline constexpr int kProgressLingerMs = 100;
inline constexpr int kTimerLighting = 1051;

} // namespace kestrune::mainwnd
