// Option > "Alarms..": a window's alarm limits, delays and switches, and latching.
#pragma once

#include "processing/alarms.h"

class QWidget;

// Shows the settings for editing; true with *settings changed when the user chose OK.
bool EditAlarmSettings(QWidget* parent, alarms::Settings* settings);
