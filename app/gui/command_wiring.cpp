#include "app/gui/command_wiring.h"

#include "app/gui/application.h"
#include "firmware/firmware_commands.h"

void WireSubsystemCommands(CVELTMonitoringApp& app) {
    // The readers trace to the debugger output; the commands show nothing.
    app.on_elf_to_flash = [] { firmware::ElfToFlashCommand(); };
    app.on_d43_to_flash = [] { firmware::D43ToFlashCommand(); };
}
