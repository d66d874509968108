// velt-process --publish against a real broker: a paced stream of the simulator.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "export/mqtt_client.h"
#include "export/mqtt_topics.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_broker.h"

namespace {

using testing_support::TempDir;
using testing_support::TestBroker;

int Shell(const std::string& command, const TempDir& dir) {
    const int status =
        std::system((command + " >" + dir.File("stdout") + " 2>" + dir.File("stderr")).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(VeltProcessPublish, APacedStreamIsPublishedAndEveryFailureToPublishIsNamed) {
    TestBroker broker(
        false, "user ward\ntopic read velt/v1/#\nuser monitor\ntopic write velt/v1/bed-9/#\n");
    ASSERT_TRUE(broker.Start()) << broker.Error();
    mqtt::BrokerOptions o;
    o.url = broker.Url();
    o.username = "ward";
    o.password_file = broker.PasswordFile();
    std::mutex mutex;  // before the client: its thread writes here until it is destroyed
    std::vector<std::pair<std::string, std::string>> got;
    mqtt::Client ward(o);
    ward.Subscribe(mqtt::kSubscribeAll);
    ward.SetMessageHandler([&](const char* t, const char* p, size_t n, bool) {
        std::lock_guard<std::mutex> lock(mutex);
        got.emplace_back(t, std::string(p, n));
    });
    std::string error;
    ASSERT_TRUE(ward.Start(&error));
    for (int i = 0; i < 1500 && !ward.Connected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ward.Connected());

    TempDir work;
    ASSERT_EQ(Shell(std::string(OXIMETER_SIM_BIN) + " --protocol 1 --seconds 3 --seed 5 --output " +
                        work.File("bed.raw"),
                    work),
              0);
    const std::string args = " --log-dir " + work.path() + " --publish " + broker.Url() +
                             " --monitor bed-9 --pace --waveform --username monitor" +
                             " --password-file " + broker.PasswordFile() + " " +
                             work.File("bed.raw");
    ASSERT_EQ(chmod(broker.PasswordFile().c_str(), 0600), 0);
    ASSERT_EQ(Shell(std::string(VELT_PROCESS_BIN) + args, work), 0) << work.Read("stderr");
    EXPECT_EQ(work.Read("stderr").find("MQTT"), std::string::npos);  // nothing failed

    const std::string base = "velt/v1/bed-9/bed.raw/";
    auto count = [&](const std::string& topic, const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& m : got)
            if (m.first == topic && m.second.find(part) != std::string::npos) ++n;
        return n;
    };
    for (int i = 0; i < 1000 && count(base + "state", "\"offline\"") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(count(base + "state", "\"online\""), 1);
    EXPECT_EQ(count(base + "state", "\"offline\",\"since\":\""), 1);
    // Paced: three seconds of device time give values in at least two seconds, and the
    // plethysmogram comes in chunks of about 250 ms.
    EXPECT_GE(count(base + "values", "\"spo2\":{\"value\":"), 2);
    EXPECT_GE(count(base + "values", "\"link\":{\"state\":\"connected\""), 2);
    EXPECT_GE(count(base + "pleth", "\"rate\":50,\"ir\":["), 6);

    // Bad names and the reduced protocol are refused.
    EXPECT_EQ(Shell(std::string(VELT_PROCESS_BIN) + " --publish " + broker.Url() +
                        " --monitor a/b " + work.File("bed.raw"),
                    work),
              2);
    EXPECT_NE(work.Read("stderr").find("may not hold"), std::string::npos);
    EXPECT_EQ(Shell(std::string(VELT_PROCESS_BIN) + " --protocol 3 --publish " + broker.Url() +
                        " " + work.File("bed.raw"),
                    work),
              2);

    // A broker that refuses the login, denies the topics or is not there: each reason
    // on stderr, and status 4 when nothing processed reached the broker.
    work.Write("wrong.pw", "wrong\n");
    work.Write("open.pw", "secret\n");
    ASSERT_EQ(chmod(work.File("open.pw").c_str(), 0644), 0);
    const struct {
        std::string url, monitor, password_file, said;
        int status;
    } cases[] = {
        {broker.Url(), "bed-9", work.File("open.pw"), "open.pw\" can be read by others", 0},
        {broker.Url(), "bed-2", broker.PasswordFile(),
         "MQTT: denied: not authorized for velt/v1/bed-2/bed.raw/state", 4},
        {broker.Url(), "bed-9", work.File("wrong.pw"), "MQTT: refused: Not authorized", 4},
        {"mqtt://127.0.0.1:" + std::to_string(TestBroker::FreePort()), "bed-9",
         broker.PasswordFile(), "MQTT: cannot reach the broker: Connection refused", 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            Shell(std::string(VELT_PROCESS_BIN) + " --log-dir " + work.path() + " --publish " +
                      c.url + " --monitor " + c.monitor + " --username monitor --password-file " +
                      c.password_file + " " + work.File("bed.raw"),
                  work),
            c.status)
            << c.monitor << " " << c.password_file;
        EXPECT_NE(work.Read("stderr").find(c.said), std::string::npos) << work.Read("stderr");
    }
}

}  // namespace
