#include "link/configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/link_view.h"
#include "platform/profile.h"
#include "platform/system_info.h"
#include "tests/support/debug_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

// Field texts and modified flags as edit controls keep them, plus a log of the calls.
class FakeView : public ILinkView {
public:
    std::string text[ViewFieldCount];
    bool modified[ViewFieldCount] = {};
    std::vector<std::string> calls;

    void SetFieldText(int field, const char* t) override {
        if (t == nullptr || field < 0 || field >= ViewFieldCount) return;
        calls.push_back(std::string("set ") + ViewFieldName(field));
        text[field] = t;
        modified[field] = true;
    }
    int GetFieldText(int field, char* buffer, int limit) override {
        calls.push_back(std::string("get ") + ViewFieldName(field));
        if (limit <= 0) return 0;
        size_t n = std::min(text[field].size(), static_cast<size_t>(limit - 1));
        std::memcpy(buffer, text[field].data(), n);
        buffer[n] = 0;
        return static_cast<int>(n);
    }
    bool IsFieldModified(int field) override { return modified[field]; }
    void SetFieldModified(int field, bool m) override {
        calls.push_back(std::string(m ? "modify " : "clear ") + ViewFieldName(field));
        modified[field] = m;
    }
    void AppendSample(uint8_t, Colour) override {}
    void AppendPulseTrend(uint8_t) override {}
    void ResetPlot() override {}
    void RedrawPlot() override {}
    void PostPacketMessage(int, COximeter*) override {}
    void RunPendingCalls() override {}
    void PlaySoundAsync(const char*) override {}
};

class Configuration : public ::testing::Test {
protected:
    void SetUp() override { config::InitConfigurationPath(tmp_.path()); }
    void TearDown() override { config::SetConfigPath(""); }
    void PutIni(const std::string& bytes) { tmp_.Write("configuration/VELTMonitoring.ini", bytes); }
    std::string Ini() const { return tmp_.Read("configuration/VELTMonitoring.ini"); }
    testing_support::TempDir tmp_;
};

void PutIniAt(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(ConfigurationPath, FirstRunCreatesTheDirectoryAndUsesDefaults) {
    testing_support::TempDir tmp;
    testing_support::DebugCapture debug;
    ASSERT_FALSE(IsDirectory(tmp.File("configuration")));
    std::string path = config::InitConfigurationPath(tmp.path());
    EXPECT_EQ(path, tmp.path() + "/configuration/VELTMonitoring.ini");
    EXPECT_EQ(config::ConfigPath(), path);
    EXPECT_TRUE(IsDirectory(tmp.File("configuration")));
    EXPECT_TRUE(debug.Lines().empty());

    config::ConnectionSettings s = config::ReadConnectionSettings();
    EXPECT_EQ(s.port, "COM1");
    EXPECT_EQ(s.protocol, 1);
    EXPECT_TRUE(s.heartbeat);
    struct stat st {};
    EXPECT_NE(stat(path.c_str(), &st), 0) << "reading must not create the file";

    // A second start finds the directory in place: no error.
    EXPECT_EQ(config::InitConfigurationPath(tmp.path() + "/"), path);
    EXPECT_TRUE(debug.Lines().empty());
    config::SetConfigPath("");
}

TEST(ConfigurationPath, FailureToCreateIsReportedAndStartUpGoesOn) {
    testing_support::TempDir tmp;
    testing_support::DebugCapture debug;
    const std::string missing = tmp.File("gone/away");
    EXPECT_EQ(config::InitConfigurationPath(missing),
              missing + "/configuration/VELTMonitoring.ini");
    EXPECT_EQ(debug.Lines(), std::vector<std::string>{"Error creating configuration directoy.\n"});
    EXPECT_EQ(config::ReadConnectionSettings().port, "COM1");

    // A plain file where the directory should be is a failure too.
    debug.Clear();
    tmp.Write("configuration", "not a directory");
    config::InitConfigurationPath(tmp.path());
    EXPECT_EQ(debug.Count("Error creating configuration directoy.\n"), 1u);

    // No fixed buffer: a path far beyond 256 bytes works.
    debug.Clear();
    std::string deep = tmp.path();
    for (int i = 0; i < 6; ++i) {
        deep += "/" + std::string(60, static_cast<char>('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    }
    std::string path = config::InitConfigurationPath(deep);
    EXPECT_GT(path.size(), 380u);
    EXPECT_TRUE(debug.Lines().empty());
    EXPECT_TRUE(platform::WritePrivateProfileString("connection", "protocol", "3", path));
    EXPECT_EQ(config::ReadConnectionSettings().protocol, 3);
    config::SetConfigPath("");
}

TEST(ConfigurationPath, InstalledProgramKeepsItsSettingsInThePerUserFolder) {
    testing_support::TempDir tmp;
    testing_support::DebugCapture debug;
    testing_support::ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    testing_support::ScopedEnv home("HOME", tmp.File("home").c_str());
    ASSERT_EQ(platform::CreateDirectories(tmp.File("usr/bin")), 0);
    ASSERT_EQ(platform::CreateDirectories(tmp.File("usr/share/velt-monitoring")), 0);

    // A fresh home: every level up to the configuration folder is made, private.
    const std::string path = config::InitConfigurationPath(tmp.File("usr/bin"));
    EXPECT_EQ(path, tmp.File("home/.config/velt-monitoring/configuration/VELTMonitoring.ini"));
    EXPECT_TRUE(debug.Lines().empty());
    EXPECT_TRUE(IsDirectory(tmp.File("home/.config/velt-monitoring/configuration")));
    struct stat st {};
    ASSERT_EQ(stat(tmp.File("home/.config").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    EXPECT_FALSE(IsDirectory(tmp.File("usr/bin/configuration")));

    PutIniAt(path, "[connection]\r\nport=COM7\r\n");
    EXPECT_EQ(config::ReadConnectionSettings().port, "COM7");
    config::SetConfigPath("");
}

TEST_F(Configuration, ProtocolOutsideOneToThreeIsOne) {
    const std::pair<const char*, int> cases[] = {{"0", 1},  {"4", 1},   {"abc", 1},       {"-2", 1},
                                                 {"", 1},   {"1", 1},   {"2", 2},         {"3", 3},
                                                 {"3x", 3}, {" 2 ", 2}, {"4294967298", 2}};
    for (const auto& [value, expected] : cases) {
        PutIni(std::string("[connection]\r\nprotocol=") + value + "\r\n");
        EXPECT_EQ(config::ReadConnectionSettings().protocol, expected) << '"' << value << '"';
    }
}

TEST_F(Configuration, HeartbeatIsOnExactlyWhenOne) {
    const std::pair<const char*, bool> cases[] = {{"1", true},    {"2", false},  {"0", false},
                                                  {"abc", false}, {"-1", false}, {"", true}};
    for (const auto& [value, expected] : cases) {
        PutIni(std::string("[SOUND]\r\nHeartBeat=") + value + "\r\n");
        EXPECT_EQ(config::ReadConnectionSettings().heartbeat, expected) << '"' << value << '"';
    }
}

TEST_F(Configuration, ReconnectIsOnUnlessZeroAndASaveNeverAddsIt) {
    const std::pair<const char*, bool> cases[] = {{"0", false}, {"1", true},  {"2", true},
                                                  {"", true},   {"x", false}, {" 0 ", false}};
    for (const auto& [value, expected] : cases) {
        PutIni(std::string("[connection]\r\nreconnect=") + value + "\r\n");
        EXPECT_EQ(config::ReadConnectionSettings().reconnect, expected) << '"' << value << '"';
    }
    // A value that reads as no number is 0, as with every number of the file.
    PutIni("[connection]\r\nport=COM2\r\n");
    EXPECT_TRUE(config::ReadConnectionSettings().reconnect) << "missing: on";
    FakeView view;
    config::SaveSettings(view, "COM2", 1, true);
    EXPECT_EQ(Ini().find("reconnect"), std::string::npos) << Ini();
    // A file that has it keeps it, whatever a save writes.
    PutIni("[connection]\r\nreconnect=0\r\n");
    config::SaveSettings(view, "COM2", 1, true);
    EXPECT_FALSE(config::ReadConnectionSettings().reconnect);
}

TEST_F(Configuration, TheSessionsFolderKeepsAboutAWeekUnlessTold) {
    for (const auto& [value, expected] : {std::pair{"", 6144}, {"-5", 6144}, {"500", 500}}) {
        PutIni(std::string("[recording]\r\nmax_mb=") + value + "\r\n");
        EXPECT_EQ(config::ReadRecordingSettings().max_mb, expected) << '"' << value << '"';
    }
}

TEST_F(Configuration, PortIsReadAndCutTo31Characters) {
    PutIni("[connection]\r\nport=COM7\r\n");
    EXPECT_EQ(config::ReadConnectionSettings().port, "COM7");
    const std::string usb = "FT232R USB UART with long name#A1B2C3D4";
    PutIni("[connection]\r\nport=" + usb + "\r\n");
    EXPECT_EQ(config::ReadConnectionSettings().port, usb.substr(0, 31));
    // 30 ASCII bytes then a two-byte character across the limit: the character goes.
    PutIni("[connection]\r\nport=" + std::string(30, 'x') + "\xC3\xA9z\r\n");
    EXPECT_EQ(config::ReadConnectionSettings().port, std::string(30, 'x'));
}

TEST_F(Configuration, SaveWritesAllSevenKeysInOrder) {
    FakeView view;
    view.text[DocOperator] = "Dr. Who";
    view.text[DocSerial] = "SN 0042";
    view.text[DocSensor] = "";
    view.text[DocComment] = "line one\r\nline two";
    view.text[PortText] = "not saved";
    EXPECT_EQ(config::SaveSettings(view, "COM3", 2, false), 1);
    EXPECT_EQ(Ini(),
              "[documentation]\r\n"
              "operator=Dr. Who\r\n"
              "serial=SN 0042\r\n"
              "sensor=\r\n"
              "comment=line one\\r\\nline two\r\n"
              "[connection]\r\n"
              "port=COM3\r\n"
              "protocol=2\r\n"
              "[sound]\r\n"
              "heartbeat=0\r\n");
    EXPECT_EQ(view.calls, (std::vector<std::string>{"get DocOperator", "get DocSerial",
                                                    "get DocSensor", "get DocComment"}));

    // A second save with one change rewrites in place and keeps foreign keys.
    platform::WritePrivateProfileString("connection", "extra", "kept", config::ConfigPath());
    EXPECT_EQ(config::SaveSettings(view, "COM3", 2, true), 1);
    const std::string p = config::ConfigPath();
    EXPECT_EQ(platform::GetPrivateProfileString("sound", "heartbeat", "", p), "1");
    EXPECT_EQ(platform::GetPrivateProfileString("connection", "extra", "", p), "kept");
    config::ConnectionSettings s = config::ReadConnectionSettings();
    EXPECT_EQ(s.port, "COM3");
    EXPECT_EQ(s.protocol, 2);
    EXPECT_TRUE(s.heartbeat);
}

TEST_F(Configuration, SaveTakesAtMost254CharactersOfAField) {
    FakeView view;
    view.text[DocOperator] = std::string(300, 'o');
    config::SaveSettings(view, "COM1", 1, true);
    EXPECT_EQ(
        platform::GetPrivateProfileString("documentation", "operator", "", config::ConfigPath()),
        std::string(254, 'o'));
}

TEST_F(Configuration, AFailedWriteDoesNotStopTheSave) {
    FakeView view;
    testing_support::DebugCapture debug;
    config::SetConfigPath(tmp_.File("missing/VELTMonitoring.ini"));
    int first_error = 0;
    EXPECT_EQ(config::SaveSettings(view, "COM1", 1, true, &first_error), ENOENT);
    EXPECT_EQ(first_error, ENOENT);
    EXPECT_EQ(view.calls.size(), 4u);
    ASSERT_EQ(debug.Lines().size(), 7u);
    EXPECT_EQ(debug.Lines()[0],
              "*** SaveSettings: writing documentation/operator failed, error 2\n");
    EXPECT_EQ(debug.Lines()[6], "*** SaveSettings: writing sound/heartbeat failed, error 2\n");
}

TEST_F(Configuration, LoadDocumentationFillsTheFieldsAndClearsModified) {
    PutIni(
        "[documentation]\r\n"
        "operator=Ann\r\n"
        "serial=\"  S-1  \"\r\n"
        "comment=a\\r\\nb\\\\c\r\n"
        "sensor=" +
        std::string(300, 's') + "\r\n");
    FakeView view;
    for (int f = DocOperator; f <= DocComment; ++f) view.modified[f] = true;
    view.text[DocSensor] = "stale";
    config::LoadDocumentation(view);
    EXPECT_EQ(view.text[DocOperator], "Ann");
    EXPECT_EQ(view.text[DocSerial], "  S-1  ");
    EXPECT_EQ(view.text[DocSensor], std::string(255, 's'));
    EXPECT_EQ(view.text[DocComment], "a\r\nb\\c");
    for (int f = DocOperator; f <= DocComment; ++f) EXPECT_FALSE(view.modified[f]) << f;
    EXPECT_EQ(view.calls,
              (std::vector<std::string>{"set DocOperator", "clear DocOperator", "set DocSerial",
                                        "clear DocSerial", "set DocSensor", "clear DocSensor",
                                        "set DocComment", "clear DocComment"}));

    // Missing keys load as empty texts, still unmodified.
    PutIni("[documentation]\r\noperator=Bob\r\n");
    config::LoadDocumentation(view);
    EXPECT_EQ(view.text[DocOperator], "Bob");
    EXPECT_EQ(view.text[DocSensor], "");
    EXPECT_FALSE(view.modified[DocSensor]);
}

TEST_F(Configuration, SaveThenLoadRoundTripsAMultiLineComment) {
    FakeView saved;
    saved.text[DocComment] = "Patient moved.\r\nSensor re-seated at 10:04.\r\nC:\\logs kept";
    saved.text[DocOperator] = "op";
    ASSERT_EQ(config::SaveSettings(saved, "COM2", 3, true), 1);
    FakeView loaded;
    config::LoadDocumentation(loaded);
    EXPECT_EQ(loaded.text[DocComment], saved.text[DocComment]);
    EXPECT_EQ(loaded.text[DocOperator], "op");
}
