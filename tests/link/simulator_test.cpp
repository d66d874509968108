// The link against the simulated device on a pseudo-terminal, end to end through the
// queue and the real interpretation.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "link/oximeter.h"
#include "processing/measurement.h"
#include "tests/link/fake_view.h"
#include "tests/link/pty.h"
#include "tests/support/debug_capture.h"

namespace {

// Runs the simulator with its stdout in a file; returns the pid.
pid_t StartSimulator(const std::string& map_entry, const std::string& out, int protocol) {
    pid_t pid = fork();
    if (pid == 0) {
        FILE* f = std::freopen(out.c_str(), "w", stdout);
        (void)f;
        std::string p = std::to_string(protocol);
        execl(VELT_SIMULATOR, VELT_SIMULATOR, "--protocol", p.c_str(), "--map", map_entry.c_str(),
              "--seconds", "3", "--seed", "5", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

TEST(Simulator, FramesArriveAcknowledgedAndInterpreted) {
    testing_support::DebugCapture capture;
    DeviceMap map;
    std::string entry = map.dir().File("configuration/dosdevices/com1");
    std::string out = map.dir().File("sim.txt");
    pid_t pid = StartSimulator(entry, out, 2);
    ASSERT_GT(pid, 0);
    struct stat st {};
    ASSERT_TRUE(WaitFor([&] { return lstat(entry.c_str(), &st) == 0; }, 5000));

    processing::Measurement measurement(map.dir().path());
    measurement.SetLogging(false);
    FakeView view;
    COximeter link("COM1", 2, false, &measurement);
    ASSERT_EQ(link.Status(), 0);
    link.AttachView(&view);
    struct Count {
        int records = 0;
        int long_records = 0;
    } count;
    link.SetRecordObserver(
        [](void* c, const PacketRecord& r) {
            auto* n = static_cast<Count*>(c);
            ++n->records;
            if (r.length >= 34) ++n->long_records;
        },
        &count);
    // The test is the GUI thread: it drains the queue as the messages would.
    WaitFor([] { return false; }, 1500, [&] { link.ProcessPackets(); });
    link.ClosePort();
    link.ProcessPackets();

    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string text = map.dir().Read("sim.txt");
    long fd = -1, fc = -1;
    size_t at = text.find("host answered FD ");
    ASSERT_NE(at, std::string::npos) << text;
    std::sscanf(text.c_str() + at, "host answered FD %ld, FC %ld", &fd, &fc);

    // About 50 records a second; every one acknowledged, none rejected.
    EXPECT_GE(count.records, 40);
    EXPECT_LE(count.records, 100);
    EXPECT_EQ(count.long_records, count.records);
    EXPECT_GE(fd, count.records);
    EXPECT_EQ(fc, 0);
    EXPECT_EQ(capture.Count("************ COximeter::OnRxPacket more than 100 in queue\n"), 0u);
    EXPECT_NE(view.Field(Spo2), "x") << "results were shown";
}

}  // namespace
