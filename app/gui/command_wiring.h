// Connects the menu commands that other subsystems implement (replay, export,
// firmware) to their handlers.
#pragma once

class CVELTMonitoringApp;

void WireSubsystemCommands(CVELTMonitoringApp& app);
