// 32-bit ELF executables made by the system's assembler and linker at test time, and
// what readelf says about them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace firmware_testing {

struct ProgramHeader {
    std::string type;
    uint32_t offset;
    uint32_t file_size;
};

// Runs a shell command; returns its standard output, or nothing when it fails.
std::optional<std::string> RunCommand(const std::string& command);

// Assembles `source` with `as --32` in dir and links it with `ld -m elf_i386` (with the
// linker script when one is given). Returns the executable's path, or nothing when the
// toolchain cannot make one.
std::optional<std::string> BuildElf(const std::string& dir, const std::string& name,
                                    const std::string& source,
                                    const std::string& linker_script = "");

// Assembles only: a relocatable object, which has no program headers.
std::optional<std::string> BuildObject(const std::string& dir, const std::string& name,
                                       const std::string& source);

// Program headers as `readelf -lW` lists them; nothing when readelf fails.
std::optional<std::vector<ProgramHeader>> ReadelfProgramHeaders(const std::string& path);

std::vector<uint8_t> FileBytes(const std::string& path);

// A small program with code, data and bss.
extern const char kProgramSource[];
// A linker script that gives .bss a load segment of its own (no file bytes) and adds an
// empty note segment.
extern const char kSeparateBssScript[];

}  // namespace firmware_testing
