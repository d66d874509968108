// The 16 x 15 toolbar images, drawn by the program itself.
#pragma once

#include <QIcon>

QIcon ToolbarIcon(int command_id);
// The audio pause's bell, crossed out while the sound is paused.
QIcon AudioPauseIcon(bool paused);

// The program's own icon (16 to 256 pixels), the same as the installed one.
QIcon ProgramIcon();
