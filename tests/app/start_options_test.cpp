#include "app/start_options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

#include "tests/support/temp_dir.h"

TEST(StartOptions, WorkingFolderIsTakenOutAndTheRestPassedOn) {
    StartOptions o = ParseStartOptions(
        {"-platform", "offscreen", "--working-dir", "~/VELT Monitoring", "patient.velt"},
        "/home/anna");
    EXPECT_TRUE(o.error.empty());
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.working_dir, "/home/anna/VELT Monitoring");
    EXPECT_EQ(o.rest, (std::vector<std::string>{"-platform", "offscreen", "patient.velt"}));

    EXPECT_EQ(ParseStartOptions({"--working-dir", "~other/x"}, "/h").working_dir, "~other/x");
    EXPECT_FALSE(ParseStartOptions({"--working-dir"}, "/h").error.empty());
    EXPECT_FALSE(ParseStartOptions({"--working-dir", "~/x"}, "").error.empty());
    EXPECT_TRUE(ParseStartOptions({"--help"}, "/h").help);
    EXPECT_TRUE(ParseStartOptions({"--version"}, "/h").version);
}

TEST(StartOptions, WorkingFolderIsMadeAndEntered) {
    testing_support::TempDir tmp;
    char before[PATH_MAX];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    ASSERT_EQ(EnterWorkingDirectory(tmp.File("home/VELT Monitoring")), 0);
    char now[PATH_MAX];
    ASSERT_NE(getcwd(now, sizeof now), nullptr);
    EXPECT_EQ(std::string(now), tmp.File("home/VELT Monitoring"));
    tmp.Write("file", "x");
    EXPECT_NE(EnterWorkingDirectory(tmp.File("file/logs")), 0);
    ASSERT_EQ(chdir(before), 0);
    EXPECT_NE(StartUsage("/cfg").find("Settings and the COM port map: /cfg\n"), std::string::npos);
}
