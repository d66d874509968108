// Connects the menu commands that other subsystems implement (replay, export,
// firmware, port dialog) to their handlers.
#pragma once

class CVELTMonitoringApp;

void WireSubsystemCommands(CVELTMonitoringApp& app);
