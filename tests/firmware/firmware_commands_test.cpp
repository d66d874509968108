#include "firmware/firmware_commands.h"

#include <gtest/gtest.h>

#include <string>

#include "firmware/image_status.h"
#include "platform/system_info.h"
#include "tests/firmware/d43_test_support.h"
#include "tests/firmware/toolchain_elf.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

class FirmwareCommands : public ::testing::Test {
protected:
    void SetUp() override { platform::SetProgramDirectoryForTesting(program_.path()); }
    void TearDown() override { platform::SetProgramDirectoryForTesting(""); }

    void MakeConfigurationDirectory() {
        ASSERT_EQ(platform::CreateDirectoryIfMissing(program_.File("configuration")), 0);
    }

    testing_support::TempDir program_;
};

TEST_F(FirmwareCommands, DefaultPathsLieInTheConfigurationDirectory) {
    EXPECT_EQ(firmware::DefaultElfImagePath(), program_.path() + "/configuration/firmware.elf");
    EXPECT_EQ(firmware::DefaultD43ImagePath(), program_.path() + "/configuration/firmware.d43");
}

TEST_F(FirmwareCommands, MissingImagesGiveCannotOpen) {
    testing_support::DebugCapture capture;
    EXPECT_EQ(firmware::ElfToFlashCommand(), firmware::kImageCannotOpen);
    EXPECT_EQ(firmware::D43ToFlashCommand(), firmware::kImageCannotOpen);
    EXPECT_EQ(capture.Lines().size(), 2u);
}

TEST_F(FirmwareCommands, D43CommandTracesTheDefaultImage) {
    MakeConfigurationDirectory();
    const auto image = firmware_testing::D43Image({{81, 0, 0, 0, 0x10, 0}, {57, 5, 1, 2, 3, 4, 5}});
    program_.Write("configuration/firmware.d43", std::string(image.begin(), image.end()));
    testing_support::DebugCapture capture;
    EXPECT_EQ(firmware::D43ToFlashCommand(), 0);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{firmware_testing::TraceLine(image, 59),
                                                         firmware_testing::TraceLine(image, 65),
                                                         "Code sequence at 001000 - 001004\n"}));
}

TEST_F(FirmwareCommands, ElfCommandLoadsTheDefaultImage) {
    MakeConfigurationDirectory();
    auto exe = firmware_testing::BuildElf(program_.path() + "/configuration", "firmware.elf",
                                          firmware_testing::kProgramSource);
    if (!exe) GTEST_SKIP() << "cannot make a 32-bit ELF here: needs `as --32` and `ld -m elf_i386`";
    ASSERT_EQ(*exe, firmware::DefaultElfImagePath());
    testing_support::DebugCapture capture;
    EXPECT_EQ(firmware::ElfToFlashCommand(), 0);
    EXPECT_TRUE(capture.Lines().empty());

    // A cut-off image is reported, not taken as done.
    auto bytes = firmware_testing::FileBytes(*exe);
    program_.Write("configuration/firmware.elf", std::string(bytes.begin(), bytes.begin() + 40));
    EXPECT_EQ(firmware::ElfToFlashCommand(), firmware::kImageMalformed);
}

}  // namespace
