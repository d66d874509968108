// The 16 x 15 toolbar images, drawn by the program itself.
#pragma once

#include <QIcon>

QIcon ToolbarIcon(int command_id);
