// Runs the real velt-firmware program and checks what it prints and its exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "tests/firmware/d43_test_support.h"
#include "tests/firmware/toolchain_elf.h"
#include "tests/support/temp_dir.h"

namespace {

struct Outcome {
    std::string out;
    int exit_code;
};

// Standard output only; standard error goes to a file of its own.
Outcome RunTool(const std::string& arguments, const std::string& err_file = "/dev/null") {
    const std::string command =
        std::string("'") + VELT_FIRMWARE_TOOL + "' " + arguments + " 2>'" + err_file + "'";
    std::FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return {"", -1};
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(VeltFirmwareTool, D43PrintsTheTraceAndTheResult) {
    testing_support::TempDir dir;
    const auto image =
        firmware_testing::D43Image({{81, 0, 0, 0, 0x12, 0x34}, {57, 5, 1, 2, 3, 4, 5}});
    dir.Write("good.d43", std::string(image.begin(), image.end()));
    const Outcome good = RunTool("d43 '" + dir.File("good.d43") + "'");
    EXPECT_EQ(good.exit_code, 0);
    EXPECT_EQ(good.out, firmware_testing::TraceLine(image, 59) +
                            firmware_testing::TraceLine(image, 65) +
                            "Code sequence at 001234 - 001238\nresult 0\n");

    const auto bad = firmware_testing::D43Image({{57, 5, 1, 2, 3, 4, 5}, {194, 0, 0, 0, 0, 0, 0}});
    dir.Write("bad.d43", std::string(bad.begin(), bad.end()));
    const Outcome stopped = RunTool("d43 '" + dir.File("bad.d43") + "'");
    EXPECT_NE(stopped.exit_code, 0);
    EXPECT_EQ(stopped.out, firmware_testing::TraceLine(bad, 59) +
                               "Code sequence at 000000 - 000004\n"
                               "*** WalkD43Image: record at 00000042, tag 194 (0xC2), has no "
                               "length rule, walk stopped\n"
                               "result -3\n");
}

TEST(VeltFirmwareTool, ElfReadsARealExecutable) {
    testing_support::TempDir dir;
    auto exe = firmware_testing::BuildElf(dir.path(), "program", firmware_testing::kProgramSource);
    if (!exe) GTEST_SKIP() << "cannot make a 32-bit ELF here: needs `as --32` and `ld -m elf_i386`";
    const Outcome done = RunTool("elf '" + *exe + "'");
    EXPECT_EQ(done.exit_code, 0);
    EXPECT_EQ(done.out, "result 0\n");

    const Outcome missing = RunTool("elf '" + dir.File("missing.elf") + "'");
    EXPECT_NE(missing.exit_code, 0);
    EXPECT_EQ(missing.out, "*** ReadElfImage(" + dir.File("missing.elf") +
                               "): cannot open, error " + std::to_string(ENOENT) + "\nresult -1\n");
}

TEST(VeltFirmwareTool, BadArgumentsGiveUsage) {
    testing_support::TempDir dir;
    for (const std::string args : {"", "elf", "hex file", "d43 a b"}) {
        SCOPED_TRACE(args);
        const Outcome o = RunTool(args, dir.File("err.txt"));
        EXPECT_EQ(o.exit_code, 2);
        EXPECT_TRUE(o.out.empty());
        EXPECT_EQ(dir.Read("err.txt").rfind("usage: velt-firmware elf FILE\n", 0), 0u);
    }
}

}  // namespace
