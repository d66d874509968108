// Command ids of the menus, accelerators and toolbar.
#pragma once

namespace cmd {
// Framework commands.
constexpr int kFileNew = 57600;
constexpr int kFileOpen = 57601;
constexpr int kFileClose = 57602;
constexpr int kFileSave = 57603;
constexpr int kFileSaveAs = 57604;
constexpr int kFilePrintSetup = 57606;
constexpr int kFilePrint = 57607;
constexpr int kFilePrintPreview = 57609;
constexpr int kFileMruFile1 = 57616;
constexpr int kEditCopy = 57634;
constexpr int kEditCut = 57635;
constexpr int kEditPaste = 57637;
constexpr int kEditUndo = 57643;
constexpr int kWindowNew = 57648;
constexpr int kWindowArrange = 57649;
constexpr int kWindowCascade = 57650;
constexpr int kWindowTile = 57651;
constexpr int kAppAbout = 57664;
constexpr int kAppExit = 57665;
constexpr int kNextPane = 57680;
constexpr int kPrevPane = 57681;
constexpr int kViewToolbar = 59392;
constexpr int kViewStatusBar = 59393;
// The application's own commands.
constexpr int kLoadEdf = 32771;
constexpr int kPort = 32772;
constexpr int kElfToFlash = 32773;
constexpr int kD43ToFlash = 32774;
constexpr int kCopyAsImage = 32775;
constexpr int kSaveAsImage = 32776;
constexpr int kConnectAgain = 32777;
constexpr int kProtocol1 = 32780;
constexpr int kProtocol2 = 32781;
constexpr int kProtocol3 = 32782;
constexpr int kDisconnect = 32783;
constexpr int kHeartbeatSound = 32784;
constexpr int kChannelIR = 32785;
constexpr int kChannelRed = 32786;
constexpr int kChannelRed2 = 32787;
constexpr int kStopReplay = 32788;
constexpr int kPublish = 32789;
constexpr int kOpenSession = 32790;  // File > Open Session..: a recorded session's review
constexpr int kRecordSessions = 32791;
constexpr int kOpenSessionsFolder = 32792;
constexpr int kExportSession = 32793;  // File > Export..: the active review to EDF+ or CSV
constexpr int kAlarms = 32794;         // Option > Alarms..: the active window's alarm settings
constexpr int kAudioPause = 32795;     // silences the alarms' sound for two minutes
constexpr int kMark = 32798;  // Edit > Mark..: marks the moment (live) or position (review)
constexpr int kReportSession = 32800;  // File > Report..: the active review's oximetry report
}  // namespace cmd
