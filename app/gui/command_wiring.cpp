#include "app/gui/command_wiring.h"

#include "app/gui/application.h"

void WireSubsystemCommands(CVELTMonitoringApp& app) { (void)app; }
