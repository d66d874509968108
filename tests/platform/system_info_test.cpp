#include "platform/system_info.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/tick.h"
#include "tests/support/scoped_env.h"
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
    EXPECT_EQ(platform::ResolveDosDevice("COM3", "/dev/ttyS2"),
              tmp.File("configuration/dosdevices/com3"));
    // A dangling link is still the configured entry: opening it reports the error.
    ASSERT_EQ(symlink("/nonexistent", tmp.File("configuration/dosdevices/d:").c_str()), 0);
    EXPECT_EQ(platform::ResolveDosDevice("D:", "/home"), tmp.File("configuration/dosdevices/d:"));
    platform::SetProgramDirectoryForTesting("");
}

namespace {

using testing_support::ScopedEnv;

// "<tmp>/prefix/bin" laid out as an installed copy: the shared data folder beside it.
std::string InstalledBin(const testing_support::TempDir& tmp) {
    EXPECT_EQ(platform::CreateDirectories(tmp.File("prefix/bin")), 0);
    EXPECT_EQ(platform::CreateDirectories(tmp.File("prefix/share/velt-monitoring")), 0);
    return tmp.File("prefix/bin");
}

}  // namespace

TEST(SystemInfo, BuildTreeKeepsTheConfigurationBesideTheProgram) {
    testing_support::TempDir tmp;
    ScopedEnv xdg("XDG_CONFIG_HOME", tmp.File("xdg").c_str());
    ASSERT_EQ(platform::CreateDirectories(tmp.File("build/bin")), 0);
    EXPECT_FALSE(platform::IsInstalledProgramDirectory(tmp.File("build/bin")));
    EXPECT_EQ(platform::ConfigurationDirectoryFor(tmp.File("build/bin/")),
              tmp.File("build/bin/configuration"));
    // A "bin" folder without the shipped data beside it is a build tree too.
    ASSERT_EQ(platform::CreateDirectories(tmp.File("prefix/bin")), 0);
    EXPECT_EQ(platform::ConfigurationDirectoryFor(tmp.File("prefix/bin")),
              tmp.File("prefix/bin/configuration"));
}

TEST(SystemInfo, InstalledProgramUsesThePerUserConfiguration) {
    testing_support::TempDir tmp;
    const std::string bin = InstalledBin(tmp);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", tmp.File("xdg/").c_str());
        EXPECT_TRUE(platform::IsInstalledProgramDirectory(bin));
        EXPECT_EQ(platform::ConfigurationDirectoryFor(bin),
                  tmp.File("xdg/velt-monitoring/configuration"));
        // The system's program folders count as installed whoever runs the program,
        // root included, so no configuration folder lands in /usr/bin.
        EXPECT_EQ(platform::ConfigurationDirectoryFor("/usr/bin"),
                  tmp.File("xdg/velt-monitoring/configuration"));
    }
    {
        // Without XDG_CONFIG_HOME (or with a relative one): ~/.config.
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/config");
        ScopedEnv home("HOME", tmp.File("home").c_str());
        EXPECT_EQ(platform::UserConfigHome(), tmp.File("home/.config"));
        EXPECT_EQ(platform::ConfigurationDirectoryFor(bin),
                  tmp.File("home/.config/velt-monitoring/configuration"));
    }
}

TEST(SystemInfo, UnwritableProgramDirectoryUsesThePerUserConfiguration) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes every directory";
    testing_support::TempDir tmp;
    ScopedEnv xdg("XDG_CONFIG_HOME", tmp.File("xdg").c_str());
    ASSERT_EQ(platform::CreateDirectories(tmp.File("ro")), 0);
    ASSERT_EQ(chmod(tmp.File("ro").c_str(), 0555), 0);
    EXPECT_EQ(platform::ConfigurationDirectoryFor(tmp.File("ro")),
              tmp.File("xdg/velt-monitoring/configuration"));
    chmod(tmp.File("ro").c_str(), 0755);
}

TEST(SystemInfo, DeviceMapAndDataFollowTheInstalledLayout) {
    testing_support::TempDir tmp;
    ScopedEnv xdg("XDG_CONFIG_HOME", tmp.File("xdg").c_str());
    platform::SetProgramDirectoryForTesting(InstalledBin(tmp));
    const std::string map = tmp.File("xdg/velt-monitoring/configuration/dosdevices");
    EXPECT_EQ(platform::ConfigurationDirectory(), tmp.File("xdg/velt-monitoring/configuration"));
    EXPECT_EQ(platform::DataDirectory(), tmp.File("prefix/share/velt-monitoring"));
    EXPECT_EQ(platform::DosDeviceTarget("COM2"), "");
    ASSERT_EQ(platform::CreateDirectories(map), 0);
    ASSERT_EQ(symlink("/dev/serial/by-id/usb-x", (map + "/com2").c_str()), 0);
    EXPECT_EQ(platform::ResolveDosDevice("COM2", "/dev/ttyS1"), map + "/com2");
    EXPECT_EQ(platform::DosDeviceTarget("com2"), "/dev/serial/by-id/usb-x");
    platform::SetProgramDirectoryForTesting("");
}

TEST(SystemInfo, CreateDirectoriesMakesEveryMissingLevel) {
    testing_support::TempDir tmp;
    EXPECT_EQ(platform::CreateDirectories(tmp.File("a/b/c"), 0700), 0);
    struct stat st {};
    ASSERT_EQ(stat(tmp.File("a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(platform::CreateDirectories(tmp.File("a/b/c/")), 0);
    tmp.Write("file", "x");
    EXPECT_NE(platform::CreateDirectories(tmp.File("file/d")), 0);
}

TEST(SystemInfo, TickIsMonotonicMilliseconds) {
    uint32_t a = platform::GetTickCount();
    usleep(20000);
    uint32_t b = platform::GetTickCount();
    EXPECT_GE(static_cast<uint32_t>(b - a), 15u);
    EXPECT_FALSE(platform::ComputerName().empty());
}
