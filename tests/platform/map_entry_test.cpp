#include "platform/map_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/debug_output.h"
#include "platform/system_info.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Target(const std::string& link) {
    char buf[512];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("(none)");
}

// Takes the entry in a child that ends without giving it back, as a killed helper.
void TakeAndDie(const std::string& entry, const std::string& target) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::string error;
        _exit(platform::TakeMapEntry(entry, target, "velt-capture", &error) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(MapEntry, TakenAndGivenBackAsItWas) {
    testing_support::TempDir dir;
    const std::string entry = dir.File("com1");
    ASSERT_EQ(symlink("/dev/ttyUSB0", entry.c_str()), 0);
    std::string error, message;
    ASSERT_TRUE(platform::TakeMapEntry(entry, "/dev/pts/77", "velt-capture", &error)) << error;
    EXPECT_EQ(Target(entry), "/dev/pts/77");
    // Taken by a running helper: nobody else may take it, nobody puts it back.
    EXPECT_FALSE(platform::TakeMapEntry(entry, "/dev/pts/78", "oximeter-sim", &error));
    EXPECT_NE(error.find("taken by velt-capture"), std::string::npos) << error;
    EXPECT_EQ(platform::RestoreAbandonedMapEntry(entry), "");
    EXPECT_EQ(Target(entry), "/dev/pts/77");
    EXPECT_TRUE(platform::GiveBackMapEntry(entry, &message));
    EXPECT_EQ(message, entry + " points at /dev/ttyUSB0 again");
    EXPECT_EQ(Target(entry), "/dev/ttyUSB0");
    EXPECT_FALSE(platform::MapEntryNotePath(entry).empty());
    EXPECT_NE(access(platform::MapEntryNotePath(entry).c_str(), F_OK), 0);

    // No entry before: none after.
    const std::string fresh = dir.File("com2");
    ASSERT_TRUE(platform::TakeMapEntry(fresh, "/dev/pts/79", "oximeter-sim", &error)) << error;
    EXPECT_TRUE(platform::GiveBackMapEntry(fresh, &message));
    struct stat st {};
    EXPECT_NE(lstat(fresh.c_str(), &st), 0);
}

TEST(MapEntry, AKilledHelpersEntryIsPutBackWhenThePortIsOpened) {
    testing_support::TempDir dir;
    platform::SetProgramDirectoryForTesting(dir.path());
    const std::string map = dir.File("configuration/dosdevices");
    ASSERT_EQ(platform::CreateDirectories(map), 0);
    const std::string entry = map + "/com3";
    ASSERT_EQ(symlink("/dev/ttyUSB1", entry.c_str()), 0);
    TakeAndDie(entry, "/dev/pts/91");
    EXPECT_EQ(Target(entry), "/dev/pts/91");

    std::string said;
    platform::SetDebugSink([&](std::string_view text) { said += text; });
    platform::RestoreAbandonedDosDevice("COM3");
    platform::SetDebugSink({});
    platform::SetProgramDirectoryForTesting("");
    EXPECT_EQ(Target(entry), "/dev/ttyUSB1");
    EXPECT_NE(said.find("COM3: " + entry + " points at /dev/ttyUSB1 again (velt-capture"),
              std::string::npos)
        << said;

    // Somebody mapped the port anew after the helper died: that is kept.
    TakeAndDie(entry, "/dev/pts/92");
    ASSERT_EQ(unlink(entry.c_str()), 0);
    ASSERT_EQ(symlink("/dev/ttyUSB2", entry.c_str()), 0);
    EXPECT_TRUE(platform::RestoreAbandonedMapEntries(map).empty());
    EXPECT_EQ(Target(entry), "/dev/ttyUSB2");
    EXPECT_NE(access(platform::MapEntryNotePath(entry).c_str(), F_OK), 0);
}

}  // namespace
