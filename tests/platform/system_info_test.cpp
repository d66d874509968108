#include "platform/system_info.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/tick.h"
#include "tests/support/temp_dir.h"

TEST(SystemInfo, ProgramDirectoryIsTheTestBinarysFolder) {
    std::string dir = platform::ProgramDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '/');
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_EQ(std::string(exe).rfind(dir + "/", 0), 0u);
}

TEST(SystemInfo, CreateDirectoryTreatsExistingAsSuccess) {
    testing_support::TempDir tmp;
    std::string d = tmp.File("configuration");
    EXPECT_EQ(platform::CreateDirectoryIfMissing(d), 0);
    EXPECT_EQ(platform::CreateDirectoryIfMissing(d), 0);
    tmp.Write("plainfile", "x");
    EXPECT_EQ(platform::CreateDirectoryIfMissing(tmp.File("plainfile")), EEXIST);
    EXPECT_EQ(platform::CreateDirectoryIfMissing(tmp.File("missing/child")), ENOENT);
}

TEST(SystemInfo, DeviceMapUsesLowerCaseEntryElseFallback) {
    testing_support::TempDir tmp;
    platform::SetProgramDirectoryForTesting(tmp.path());
    EXPECT_EQ(platform::ResolveDosDevice("COM3", "/dev/ttyS2"), "/dev/ttyS2");
    ASSERT_EQ(mkdir(tmp.File("configuration").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(tmp.File("configuration/dosdevices").c_str(), 0777), 0);
    ASSERT_EQ(symlink("/dev/null", tmp.File("configuration/dosdevices/com3").c_str()), 0);
    EXPECT_EQ(platform::ResolveDosDevice("COM3", "/dev/ttyS2"), tmp.File("configuration/dosdevices/com3"));
    // A dangling link is still the configured entry: opening it reports the error.
    ASSERT_EQ(symlink("/nonexistent", tmp.File("configuration/dosdevices/d:").c_str()), 0);
    EXPECT_EQ(platform::ResolveDosDevice("D:", "/home"), tmp.File("configuration/dosdevices/d:"));
    platform::SetProgramDirectoryForTesting("");
}

TEST(SystemInfo, TickIsMonotonicMilliseconds) {
    uint32_t a = platform::GetTickCount();
    usleep(20000);
    uint32_t b = platform::GetTickCount();
    EXPECT_GE(static_cast<uint32_t>(b - a), 15u);
    EXPECT_FALSE(platform::ComputerName().empty());
}
