#include "tests/firmware/toolchain_elf.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace firmware_testing {

const char kProgramSource[] =
    ".globl _start\n"
    ".text\n"
    "_start:\n"
    "  movl $1, %eax\n"
    "  xorl %ebx, %ebx\n"
    "  int $0x80\n"
    ".data\n"
    "value: .long 0x12345678, 0x9abcdef0\n"
    "text: .ascii \"firmware image\"\n"
    ".bss\n"
    "buffer: .space 256\n";

const char kSeparateBssScript[] =
    "PHDRS { text PT_LOAD; data PT_LOAD; bss PT_LOAD; note PT_NOTE; }\n"
    "SECTIONS {\n"
    "  . = 0x10000;\n"
    "  .text : { *(.text) } :text\n"
    "  .data : { *(.data) } :data\n"
    "  .bss : { *(.bss) } :bss\n"
    "}\n";

std::optional<std::string> RunCommand(const std::string& command) {
    std::FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return std::nullopt;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (pclose(p) != 0) return std::nullopt;
    return out;
}

namespace {

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

std::optional<std::string> BuildObject(const std::string& dir, const std::string& name,
                                       const std::string& source) {
    const std::string s = dir + "/" + name + ".s";
    const std::string o = dir + "/" + name + ".o";
    if (!WriteText(s, source)) return std::nullopt;
    if (!RunCommand("as --32 -o '" + o + "' '" + s + "' 2>&1")) return std::nullopt;
    return o;
}

std::optional<std::string> BuildElf(const std::string& dir, const std::string& name,
                                    const std::string& source, const std::string& linker_script) {
    auto o = BuildObject(dir, name, source);
    if (!o) return std::nullopt;
    const std::string exe = dir + "/" + name;
    std::string command = "ld -m elf_i386 -o '" + exe + "' ";
    if (!linker_script.empty()) {
        const std::string ld = dir + "/" + name + ".ld";
        if (!WriteText(ld, linker_script)) return std::nullopt;
        command += "-T '" + ld + "' ";
    }
    command += "'" + *o + "' 2>&1";
    if (!RunCommand(command)) return std::nullopt;
    return exe;
}

std::optional<std::vector<ProgramHeader>> ReadelfProgramHeaders(const std::string& path) {
    auto out = RunCommand("readelf -lW '" + path + "' 2>&1");
    if (!out) return std::nullopt;
    std::vector<ProgramHeader> headers;
    std::istringstream lines(*out);
    std::string line;
    bool in_table = false;
    while (std::getline(lines, line)) {
        if (line.find("Type") != std::string::npos && line.find("FileSiz") != std::string::npos) {
            in_table = true;
            continue;
        }
        if (!in_table) continue;
        if (line.empty()) break;
        std::istringstream fields(line);
        std::string type, offset, vaddr, paddr, filesz;
        if (!(fields >> type >> offset >> vaddr >> paddr >> filesz)) continue;
        if (offset.rfind("0x", 0) != 0) continue;  // "[Requesting program interpreter...]"
        headers.push_back({type, static_cast<uint32_t>(std::stoul(offset, nullptr, 16)),
                           static_cast<uint32_t>(std::stoul(filesz, nullptr, 16))});
    }
    return headers;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

}  // namespace firmware_testing
