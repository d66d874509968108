#include "firmware/firmware_commands.h"

#include "firmware/d43_reader.h"
#include "firmware/elf_reader.h"
#include "platform/system_info.h"

namespace firmware {

std::string DefaultElfImagePath() {
    return platform::ConfigurationDirectory() + "/firmware.elf";
}

std::string DefaultD43ImagePath() {
    return platform::ConfigurationDirectory() + "/firmware.d43";
}

// The segments are loaded and released again; nothing is sent anywhere.
int ElfToFlashCommand() { return ReadElfImage(DefaultElfImagePath()); }

int D43ToFlashCommand() { return WalkD43Image(DefaultD43ImagePath()); }

}  // namespace firmware
