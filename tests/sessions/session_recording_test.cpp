// Session files: what a link received and sent, read back with the capture reader;
// new files every hour (here: second) and after a failed write; the folder's limit.
#include "sessions/session_recording.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "link/oximeter.h"
#include "platform/tick.h"
#include "recordings/capture_file.h"
#include "sessions/session_player.h"
#include "tests/link/fake_view.h"
#include "tests/link/pty.h"
#include "tests/link/wire.h"
#include "tests/support/debug_capture.h"
#include "tools/oximeter-sim/device_model.h"

using recordings::CaptureKind;
using wire::Frame;
using wire::Payload;

namespace {

struct Seen {
    CaptureKind kind;
    uint64_t time_us;
    std::string bytes;
};

std::vector<Seen> ReadSession(const std::string& path, recordings::CaptureHeader* header = nullptr,
                              bool* whole = nullptr) {
    recordings::CaptureFileReader reader;
    std::vector<Seen> out;
    if (!reader.Open(path)) {
        ADD_FAILURE() << path << ": " << reader.Error();
        return out;
    }
    if (header != nullptr) *header = reader.header();
    recordings::CaptureRecord r;
    while (reader.NextRecord(&r))
        out.push_back({r.kind, r.time_us, std::string(r.data, r.data + r.size)});
    if (whole != nullptr) *whole = reader.damages() == 0 && !reader.cut();
    return out;
}

std::string Joined(const std::vector<Seen>& records, CaptureKind kind) {
    std::string out;
    for (const Seen& s : records)
        if (s.kind == kind) out += s.bytes;
    return out;
}

std::vector<std::string> SessionFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.substr(n.size() - 5) == ".vcap") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string AsString(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// The process-wide folder on for one test, off again after it.
class FolderOn {
public:
    FolderOn(const std::string& dir, uint64_t max_bytes = 1ull << 30) {
        SessionFolder::Process().Configure(dir, max_bytes, true);
    }
    ~FolderOn() { SessionFolder::Process().Configure("", 0, false); }
};

TEST(SessionRecording, LinkOnPseudoTerminalRecordsEverythingInOrder) {
    testing_support::DebugCapture capture;
    DeviceMap map;
    PtyDevice device;
    ASSERT_TRUE(device.ok());
    map.Map("com1", device.slave_path());
    const std::string dir = map.dir().File("sessions");
    FolderOn on(dir);

    FakeView view;
    std::string sent;
    std::vector<size_t> frame_ends;
    {
        COximeter link("COM1", 2, false, nullptr);
        ASSERT_EQ(link.Status(), 0);
        link.AttachView(&view);  // the documentation is loaded: empty in this configuration
        view.SetFieldText(DocOperator, "Dr. A");
        view.SetFieldText(DocSerial, "SN 42");
        view.SetFieldText(DocComment, "night shift");
        link.SaveSettings();
        for (uint8_t i = 0; i < 30; ++i) {
            const std::vector<uint8_t> frame = Frame(i, 36, Payload(70, i));
            sent += AsString(frame);
            frame_ends.push_back(sent.size());
            device.Write(frame);
            if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::string acks = AsString(device.Read(30 * 3));
        ASSERT_EQ(acks.size(), 90u);
        EXPECT_TRUE(WaitFor(
            [&] { return link.Recording().StatusText().find(" MB") != std::string::npos; }));
        EXPECT_EQ(link.Recording().StatusText().substr(0, 4), "REC ");
        link.ClosePort();
        EXPECT_EQ(link.Recording().StatusText(), "REC off");

        const std::vector<std::string> files = SessionFiles(dir);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_NE(files[0].find("_COM1.vcap"), std::string::npos) << files[0];
        EXPECT_EQ(files[0].size(), std::string("2026-12-09_21-52-00_COM1.vcap").size());
        recordings::CaptureHeader header;
        bool whole = false;
        const std::vector<Seen> records = ReadSession(dir + "/" + files[0], &header, &whole);
        EXPECT_TRUE(whole);
        EXPECT_EQ(header.protocol, 2);
        EXPECT_NE(header.device.find(device.slave_path()), std::string::npos) << header.device;
        EXPECT_EQ(header.line, "115200 8N1");
        ASSERT_GE(records.size(), 5u);
        EXPECT_EQ(records[0].kind, CaptureKind::Clock);
        EXPECT_EQ(records[1].kind, CaptureKind::Protocol);
        EXPECT_EQ(records[1].bytes, std::string(1, '\2'));
        EXPECT_EQ(records[2].kind, CaptureKind::PortOpened);
        EXPECT_EQ(records.back().kind, CaptureKind::PortClosed);
        // The bytes exactly as the device sent them and the answers exactly as it got them.
        EXPECT_EQ(Joined(records, CaptureKind::DeviceBytes), sent);
        EXPECT_EQ(Joined(records, CaptureKind::ProgramBytes), acks);
        // Every answer follows the chunk that completed its frame.
        size_t received = 0, answered = 0;
        for (const Seen& s : records) {
            if (s.kind == CaptureKind::DeviceBytes) received += s.bytes.size();
            if (s.kind == CaptureKind::ProgramBytes) {
                ASSERT_LT(answered, frame_ends.size());
                EXPECT_GE(received, frame_ends[answered]) << "answer " << answered;
                ++answered;
            }
        }
        // The texts as loaded (empty) and as saved.
        std::vector<std::string> docs;
        for (const Seen& s : records)
            if (s.kind == CaptureKind::Documentation) docs.push_back(s.bytes);
        ASSERT_EQ(docs.size(), 8u);
        EXPECT_EQ(docs[4], std::string(1, '\0') + "Dr. A");
        EXPECT_EQ(docs[5], std::string(1, '\1') + "SN 42");
        EXPECT_EQ(docs[7], std::string(1, '\3') + "night shift");
        for (size_t i = 1; i < records.size(); ++i)
            EXPECT_GE(records[i].time_us, records[i - 1].time_us);
    }
}

TEST(SessionRecording, LossNoDataAndReturnStayInOneFile) {
    testing_support::DebugCapture capture;
    DeviceMap map;
    auto device = std::make_unique<PtyDevice>();
    ASSERT_TRUE(device->ok());
    map.Map("com1", device->slave_path());
    const std::string dir = map.dir().File("sessions");
    FolderOn on(dir);

    FakeView view;
    COximeter link("COM1", 1, false, nullptr);
    ASSERT_EQ(link.Status(), 0);
    link.AttachView(&view);
    device->Write(Frame(1, 36, Payload(50)));
    ASSERT_EQ(device->Read(3).size(), 3u);
    // 3 s without a frame: "No data".
    std::this_thread::sleep_for(std::chrono::milliseconds(3300));
    device.reset();  // unplugged
    ASSERT_TRUE(WaitFor([&] { return link.Lost(); }, 3000));
    device = std::make_unique<PtyDevice>();
    map.Map("com1", device->slave_path());
    ASSERT_TRUE(WaitFor([&] { return link.Connected(); }, 5000));
    device->Write(Frame(2, 36, Payload(50)));
    ASSERT_EQ(device->Read(3).size(), 3u);
    const std::string path = link.Recording().Path();
    link.ClosePort();

    ASSERT_EQ(SessionFiles(dir).size(), 1u);
    const std::vector<Seen> records = ReadSession(path);
    std::vector<CaptureKind> events;
    for (const Seen& s : records)
        if (s.kind == CaptureKind::NoData || s.kind == CaptureKind::DeviceLost ||
            s.kind == CaptureKind::DeviceBack || s.kind == CaptureKind::PortClosed)
            events.push_back(s.kind);
    const std::vector<CaptureKind> want = {CaptureKind::NoData, CaptureKind::DeviceLost,
                                           CaptureKind::DeviceBack, CaptureKind::PortClosed};
    EXPECT_EQ(events, want);
    for (const Seen& s : records)
        if (s.kind == CaptureKind::DeviceLost) {
            EXPECT_EQ(s.bytes.substr(0, 6), "error ");
        }
    EXPECT_EQ(Joined(records, CaptureKind::DeviceBytes),
              AsString(Frame(1, 36, Payload(50))) + AsString(Frame(2, 36, Payload(50))));
}

TEST(SessionRecording, OffRecordsNothingAndEveryConnectionGetsItsOwnFile) {
    testing_support::DebugCapture capture;
    DeviceMap map;
    PtyDevice device;
    map.Map("com1", device.slave_path());
    const std::string dir = map.dir().File("sessions");
    FolderOn on(dir);
    SessionFolder::Process().SetEnabled(false);
    COximeter link("COM1", 1, false, nullptr);
    ASSERT_EQ(link.Status(), 0);
    EXPECT_EQ(link.Recording().StatusText(), "REC off");
    EXPECT_TRUE(SessionFiles(dir).empty());
    SessionFolder::Process().SetEnabled(true);  // for new connections only
    EXPECT_TRUE(SessionFiles(dir).empty());
    link.Reconnect();
    ASSERT_EQ(SessionFiles(dir).size(), 1u);
    link.SetProtocol(2);
    link.ClosePort();
    ASSERT_EQ(SessionFiles(dir).size(), 2u);
    recordings::CaptureHeader header;
    ReadSession(dir + "/" + SessionFiles(dir)[1], &header);
    EXPECT_EQ(header.protocol, 2);
}

// A second window on a port that another holds: its link opens before its view exists,
// and both the status field and the recording pane still say why nothing comes.
TEST(SessionRecording, PortHeldElsewhereSaysWhyNothingRecords) {
    testing_support::DebugCapture capture;
    DeviceMap map;
    PtyDevice device;
    map.Map("com1", device.slave_path());
    FolderOn on(map.dir().File("sessions"));
    COximeter holder("COM1", 1, false, nullptr);
    ASSERT_EQ(holder.Status(), 0);
    FakeView view;  // outlives the link, which writes to it as it closes
    COximeter second("COM1", 1, false, nullptr);
    second.AttachView(&view);
    EXPECT_EQ(view.Field(StatusText), "*** COximeter::CreateFile(COM1:)=error 16");
    EXPECT_EQ(second.Recording().StatusText(), "REC: port not open");
    holder.ClosePort();
    second.Reconnect();
    EXPECT_EQ(second.Recording().StatusText().substr(0, 4), "REC ");
}

// Every received chunk in order across the files of one connection, each file whole.
TEST(SessionRecording, NewFileEachPeriodLosesNothing) {
    testing_support::TempDir dir;
    SessionFolder folder;
    folder.Configure(dir.File("s"), 1ull << 30, true);
    SessionRecording::Settings settings;
    settings.file_seconds = 1;
    settings.keep_every_ms = 50;
    settings.recorder.write_every_ms = 20;
    SessionRecording rec(folder, settings);
    ASSERT_TRUE(rec.Begin({"COM3", 1, "COM3", "57600 8N2"}));
    rec.Documentation(0, "operator");
    std::string all;
    for (int i = 0; i < 250; ++i) {
        std::string chunk = "chunk " + std::to_string(i) + ";";
        all += chunk;
        rec.Received(platform::MonotonicMicroseconds(),
                     reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    rec.End();
    const std::vector<std::string> files = SessionFiles(dir.File("s"));
    ASSERT_GE(files.size(), 2u);
    std::string joined;
    for (size_t i = 0; i < files.size(); ++i) {
        bool whole = false;
        const std::vector<Seen> records = ReadSession(dir.File("s/" + files[i]), nullptr, &whole);
        EXPECT_TRUE(whole) << files[i];
        joined += Joined(records, CaptureKind::DeviceBytes);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records[0].kind, CaptureKind::Clock);
        // Only the first file opened the port; only the last one closes it; each later
        // file carries the texts again.
        EXPECT_EQ(Joined(records, CaptureKind::PortOpened).empty() &&
                      std::none_of(records.begin(), records.end(),
                                   [](const Seen& s) { return s.kind == CaptureKind::PortOpened; }),
                  i > 0);
        EXPECT_EQ(std::any_of(records.begin(), records.end(),
                              [](const Seen& s) { return s.kind == CaptureKind::PortClosed; }),
                  i + 1 == files.size());
        if (i > 0) {
            EXPECT_NE(Joined(records, CaptureKind::Documentation).find("operator"),
                      std::string::npos);
        }
    }
    EXPECT_EQ(joined, all);
}

// A write that fails (a file size limit stands in for a full disk): the status says
// so, the callers go on, the file reads up to its last good record, and once writing
// works again a new file counts what was lost.
TEST(SessionRecording, FailedWriteShownAndCountedWhenWritingWorksAgain) {
    testing_support::DebugCapture capture;
    testing_support::TempDir dir;
    SessionFolder folder;
    folder.Configure(dir.File("s"), 1ull << 30, true);
    SessionRecording::Settings settings;
    settings.keep_every_ms = 20;
    settings.retry_ms = 100;
    settings.recorder.write_every_ms = 10;
    SessionRecording rec(folder, settings);
    ASSERT_TRUE(rec.Begin({"COM1", 1, "COM1", ""}));
    const std::string first = rec.Path();

    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    std::vector<uint8_t> chunk(200, 0x5A);
    rec.Received(platform::MonotonicMicroseconds(), chunk.data(), chunk.size());
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::file_size(first) > 200; }));
    // Lost while failing, over retries that cannot even write a header: all of it
    // counted in the next file, with the cause; no retry leaves a file.
    rlimit small = old;
    small.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int i = 0; i < 30; ++i) {
        rec.Received(platform::MonotonicMicroseconds(), chunk.data(), 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string status = rec.StatusText();
    EXPECT_EQ(status.rfind("REC: cannot write ", 0), 0u) << status;
    EXPECT_NE(status.find(first), std::string::npos) << status;
    EXPECT_EQ(SessionFiles(dir.File("s")).size(), 1u);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    ASSERT_TRUE(WaitFor([&] { return rec.Path() != first; }, 3000));
    EXPECT_TRUE(WaitFor([&] { return rec.StatusText().substr(0, 4) == "REC "; }));
    rec.Received(platform::MonotonicMicroseconds(), chunk.data(), 7);
    const std::string second = rec.Path();
    rec.End();
    signal(SIGXFSZ, SIG_DFL);

    bool whole = false;
    const std::vector<Seen> a = ReadSession(first, nullptr, &whole);
    EXPECT_TRUE(whole);
    EXPECT_FALSE(Joined(a, CaptureKind::DeviceBytes).empty());
    const std::vector<Seen> b = ReadSession(second, nullptr, &whole);
    EXPECT_TRUE(whole);
    uint64_t records = 0;
    std::string cause;
    for (const Seen& s : b) {
        if (s.kind != CaptureKind::RecordsDropped || s.bytes.size() < 16) continue;
        for (int i = 7; i >= 0; --i) records = records << 8 | static_cast<uint8_t>(s.bytes[i]);
        cause = s.bytes.substr(16);
    }
    EXPECT_GE(records, 30u);
    EXPECT_NE(cause.find("cannot write " + first + ": File too large"), std::string::npos) << cause;
    EXPECT_EQ(Joined(b, CaptureKind::DeviceBytes), std::string(7, 0x5A));
}

// A file appears only with its header: a start that cannot write one, and its retries,
// leave nothing; a retry's file that no record reaches goes again. A file removed while
// it is written is followed by a new one, said so.
TEST(SessionRecording, NoFileWithoutItsHeaderAndARemovedFileIsFollowed) {
    testing_support::DebugCapture capture;
    testing_support::TempDir dir;
    SessionFolder folder;
    folder.Configure(dir.File("s"), 1ull << 30, true);
    SessionRecording::Settings settings;
    settings.keep_every_ms = 20;
    settings.retry_ms = 40;
    settings.recorder.write_every_ms = 10;
    SessionRecording rec(folder, settings);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    auto limit_to = [&](rlim_t bytes) {
        rlimit limit = old;
        limit.rlim_cur = bytes;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    };
    limit_to(0);
    EXPECT_FALSE(rec.Begin({"COM1", 1, "COM1", ""}));
    EXPECT_NE(capture.Text().find("*** Sessions: cannot write "), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // several retries
    EXPECT_TRUE(std::filesystem::is_empty(dir.File("s")));        // nothing hidden either
    limit_to(old.rlim_cur);
    ASSERT_TRUE(WaitFor([&] { return !rec.Path().empty(); }, 3000));
    recordings::CaptureFileReader reader;
    ASSERT_TRUE(reader.Open(rec.Path()));
    const uintmax_t header = reader.offset();
    limit_to(header);  // room for a header and no more
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(rec.StatusText().rfind("REC: cannot write ", 0), 0u) << rec.StatusText();
    limit_to(old.rlim_cur);
    signal(SIGXFSZ, SIG_DFL);
    ASSERT_TRUE(WaitFor([&] { return rec.StatusText().rfind("REC 00:", 0) == 0; }, 3000));
    EXPECT_NE(capture.Text().find("no record could be written to it"), std::string::npos);
    for (const std::string& name : SessionFiles(dir.File("s")))
        EXPECT_GT(std::filesystem::file_size(dir.File("s/" + name)), header) << name;

    const std::string first = rec.Path();
    ASSERT_EQ(unlink(first.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return capture.Text().find(" goes on in ") != std::string::npos; }));
    EXPECT_NE(capture.Text().find(first + " was removed while it was being written"),
              std::string::npos);
    const std::string second = rec.Path();  // perhaps the same name again, now free
    rec.Received(platform::MonotonicMicroseconds(), reinterpret_cast<const uint8_t*>("abc"), 3);
    rec.End();
    EXPECT_EQ(Joined(ReadSession(second), CaptureKind::DeviceBytes), "abc");
}

TEST(SessionFolder, PrunesOldestFirstNeverAHeldFile) {
    testing_support::DebugCapture capture;
    testing_support::TempDir dir;
    SessionFolder folder;
    folder.Configure(dir.path(), 3000, true);
    for (const char* name : {"2026-12-01_10-00-00_COM1.vcap", "2026-12-02_10-00-00_COM1.vcap",
                             "2026-12-03_10-00-00_COM1.vcap", "2026-12-04_10-00-00_COM1.vcap"})
        dir.Write(name, std::string(1000, 'x'));
    // Not the program's sessions: neither counted nor removed.
    dir.Write("notes.txt", std::string(5000, 'x'));
    dir.Write("my capture.vcap", std::string(5000, 'x'));
    // Held by a recorder (of any process): its lock.
    const int held = open(dir.File("2026-12-01_10-00-00_COM1.vcap").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    EXPECT_EQ(folder.Prune(), 1);
    close(held);
    const std::vector<std::string> left = SessionFiles(dir.path());
    const std::vector<std::string> want = {"2026-12-01_10-00-00_COM1.vcap",
                                           "2026-12-03_10-00-00_COM1.vcap",
                                           "2026-12-04_10-00-00_COM1.vcap", "my capture.vcap"};
    EXPECT_EQ(left, want);
    EXPECT_EQ(capture.Lines().size(), 1u);
    EXPECT_NE(capture.Text().find("removed " + dir.path() + "/2026-12-02_10-00-00_COM1.vcap"),
              std::string::npos)
        << capture.Text();
    EXPECT_EQ(folder.Prune(), 0);
}

}  // namespace

namespace {

// A view that shows what the link hands on only when the test drains its queue.
class HeldView : public FakeView {
public:
    void AppendSample(uint8_t value, Colour) override { samples.push_back(value); }
    void PostPacketMessage(int, COximeter*) override {}
    std::vector<uint8_t> samples;
};

class SampleView : public processing::IMeasurementView {
public:
    void SetFieldText(int, const char*) override {}
    void AppendSample(uint8_t value, Colour) override { samples.push_back(value); }
    void AppendPulseTrend(uint8_t) override {}
    void ResetPlot() override {}
    void RedrawPlot() override {}
    void PlaySoundAsync(const char*) override {}
    std::vector<uint8_t> samples;
};

}  // namespace

// Whether a cut frame is stood in for by the record still waiting for display, and
// whether a frame finds the queue full, depends on the window's pace: the session notes
// it, and a replay of the session hands on exactly the records the live link did.
TEST(SessionRecording, AReplayHandsOnCutAndDroppedFramesAsTheLinkDid) {
    testing_support::DebugCapture capture;
    DeviceMap map;
    PtyDevice device;
    ASSERT_TRUE(device.ok());
    map.Map("com1", device.slave_path());
    const std::string dir = map.dir().File("sessions");
    FolderOn on(dir);
    sim::Options options;
    options.protocol = 1;
    sim::DeviceModel model(options);
    auto half = [](std::vector<uint8_t> bytes) {
        bytes.resize(bytes.size() / 2);
        return bytes;
    };
    auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };

    processing::Measurement m;
    m.SetLogging(false);
    HeldView view;
    {
        COximeter link("COM1", 1, false, &m);
        ASSERT_EQ(link.Status(), 0);
        link.AttachView(&view);
        // A record waits; a cut frame is stood in for by a copy of it, then a good one.
        device.Write(model.NextRecordBytes());
        ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 1; }));
        device.Write(join(half(model.NextRecordBytes()), model.NextRecordBytes()));
        ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 3; }));
        link.ProcessPackets();
        // With nothing waiting a cut frame leaves nothing.
        device.Write(join(half(model.NextRecordBytes()), model.NextRecordBytes()));
        ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 1; }));
        link.ProcessPackets();
        // A window that falls behind: the queue fills and the newest frames are dropped.
        for (int i = 0; i < PacketQueue::kCapacity + 5; ++i) device.Write(model.NextRecordBytes());
        ASSERT_TRUE(
            WaitFor([&] { return link.Statistics().Get(LinkStatistics::kDropped) == 4; }, 5000));
        link.ProcessPackets();
        link.ClosePort();
    }
    const std::vector<std::string> files = SessionFiles(dir);
    ASSERT_EQ(files.size(), 1u);
    const std::vector<Seen> records = ReadSession(dir + "/" + files[0]);
    int stood_in = 0, dropped = 0;
    for (const Seen& s : records)
        for (size_t i = 2; s.kind == CaptureKind::Handoffs && i < s.bytes.size(); i += 3)
            (s.bytes[i] == HandoffNote::kStoodIn ? stood_in : dropped) += 1;
    EXPECT_EQ(stood_in, 1);
    EXPECT_EQ(dropped, 4);

    SessionPlayer player;
    ASSERT_TRUE(player.Open(dir + "/" + files[0])) << player.Error();
    SampleView replay;
    player.SetOutput(&replay);
    player.AdvanceTo(player.Duration());
    ASSERT_GT(view.samples.size(), 100u);
    EXPECT_EQ(replay.samples, view.samples);
}
