// The "ELF to Flash.." and "D43 to Flash.." commands: each runs its reader on a fixed
// image in the configuration directory. Neither touches the device link or the screen.
#pragma once

#include <string>

namespace firmware {

// "<configuration directory>/firmware.elf" and ".../firmware.d43".
std::string DefaultElfImagePath();
std::string DefaultD43ImagePath();

// The reader's result; the menu handlers discard it.
int ElfToFlashCommand();
int D43ToFlashCommand();

}  // namespace firmware
