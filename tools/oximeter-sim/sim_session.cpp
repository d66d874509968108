#include "tools/oximeter-sim/sim_session.h"

#include <cstdio>
#include <ctime>

#include "recordings/capture_file.h"

namespace sim {
namespace {

using recordings::CaptureKind;

// The monotonic clock of the simulated recording program at the connection's start.
constexpr uint64_t kClockAtStart = 86400ull * 1000000;

recordings::CaptureHeader Header(const SessionOptions& options, int64_t start_unix_us) {
    recordings::CaptureHeader header;
    header.protocol = options.device.protocol;
    header.start_unix_us = start_unix_us;
    header.device = "/dev/ttyUSB0";
    header.line = options.device.protocol == 2 ? "115200 8N1" : "57600 8N2";
    header.host = "ward-3";
    header.writer = "oximeter-sim session";
    return header;
}

// The program's session file name for a file begun at unix_us (UTC here).
std::string SessionName(int64_t unix_us) {
    const std::time_t t = static_cast<std::time_t>(unix_us / 1000000);
    std::tm utc{};
    char text[40] = "0000-00-00_00-00-00";
    if (gmtime_r(&t, &utc) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &utc);
    return std::string(text) + "_ttyUSB0.vcap";
}

// Writes the records of the device's run, starting a new file (through `next`) at
// every multiple of file_us (0: never). False when a write failed.
template <typename NextFile>
bool WriteRecords(recordings::CaptureWriter* writer, const SessionOptions& options,
                  uint64_t file_us, NextFile next) {
    DeviceModel model(options.device);
    ScenarioPlayer story(options.scenario, options.device);
    const uint64_t records = static_cast<uint64_t>(options.seconds * 50);
    uint64_t file_start = 0;
    bool lost = false;
    for (uint64_t i = 0; i < records; ++i) {
        const uint64_t t = (i + 1) * 20000;
        const double s = static_cast<double>(t) / 1e6;
        if (file_us > 0 && t - file_start > file_us) {
            file_start += file_us;
            if (!(writer = next(file_start, lost))) return false;
        }
        const uint64_t at = t - file_start;
        if (!options.scenario.empty()) model.SetValues(story.ValuesAt(s - 0.02));
        std::vector<uint8_t> bytes = model.NextRecordBytes();
        bool quiet = !options.scenario.empty() && story.Unplugged(s - 0.02);
        for (const SessionGap& g : options.gaps) {
            if (s >= g.at_s && s < g.at_s + g.length_s) quiet = true;
            if (!g.lost) continue;
            if (t == static_cast<uint64_t>(g.at_s * 1e6)) {
                static const char kWhy[] = "error 5";
                writer->Add(CaptureKind::DeviceLost, at, reinterpret_cast<const uint8_t*>(kWhy),
                            sizeof kWhy - 1);
                lost = true;
            }
            if (t == static_cast<uint64_t>((g.at_s + g.length_s) * 1e6)) {
                writer->Add(CaptureKind::DeviceBack, at);
                lost = false;
            }
        }
        for (const SessionNote& n : options.notes)
            if (n.at_s * 1e6 > static_cast<double>(t) - 20000 &&
                n.at_s * 1e6 <= static_cast<double>(t))
                writer->Add(n.kind, at, reinterpret_cast<const uint8_t*>(n.text.data()),
                            n.text.size());
        if (!quiet) writer->Add(CaptureKind::DeviceBytes, at, bytes.data(), bytes.size());
        if (i % 5000 == 0 && !writer->Flush()) return false;
    }
    if (options.port_records)
        writer->Add(CaptureKind::PortClosed,
                    static_cast<uint64_t>(options.seconds * 1e6) + 20000 - file_start);
    return true;
}

}  // namespace

bool WriteSimulatedSession(const std::string& path, const SessionOptions& options,
                           std::string* error) {
    recordings::CaptureWriter writer;
    if (!writer.Open(path, Header(options, options.start_unix_us))) {
        *error = writer.Error();
        return false;
    }
    if (options.port_records) writer.Add(CaptureKind::PortOpened, 0);
    WriteRecords(&writer, options, 0, [](uint64_t, bool) { return nullptr; });
    if (!writer.Close()) {
        *error = writer.Error();
        return false;
    }
    return true;
}

bool WriteSimulatedConnection(const std::string& dir, const SessionOptions& options,
                              double file_seconds, std::vector<std::string>* paths,
                              std::string* error) {
    paths->clear();
    char name[24];
    std::snprintf(name, sizeof name, "sim-%llx",
                  static_cast<unsigned long long>(options.start_unix_us));
    recordings::CaptureWriter writer;
    uint32_t part = 0;
    // A file as the recording program begins one: its clock, the protocol, the open
    // in the first file only, and a loss that is still going on.
    auto begin = [&](uint64_t at_us, bool lost) -> recordings::CaptureWriter* {
        if (writer.IsOpen() && !writer.Close()) return nullptr;
        recordings::CaptureHeader header =
            Header(options, options.start_unix_us + static_cast<int64_t>(at_us));
        header.connection = name;
        header.part = ++part;
        const std::string path = dir + "/" + SessionName(header.start_unix_us);
        if (!writer.Open(path, header)) return nullptr;
        paths->push_back(path);
        uint8_t clock[8];
        for (int i = 0; i < 8; ++i)
            clock[i] = static_cast<uint8_t>((kClockAtStart + at_us) >> (8 * i));
        writer.Add(CaptureKind::Clock, 0, clock, sizeof clock);
        const uint8_t protocol = static_cast<uint8_t>(options.device.protocol);
        writer.Add(CaptureKind::Protocol, 0, &protocol, 1);
        if (part == 1 && options.port_records) writer.Add(CaptureKind::PortOpened, 0);
        static const char kWhy[] = "error 5";
        if (lost)
            writer.Add(CaptureKind::DeviceLost, 0, reinterpret_cast<const uint8_t*>(kWhy),
                       sizeof kWhy - 1);
        return &writer;
    };
    const uint64_t file_us = static_cast<uint64_t>(file_seconds * 1e6);
    const bool ok = begin(0, false) != nullptr && WriteRecords(&writer, options, file_us, begin);
    if (!writer.Close() || !ok) {
        *error = writer.Error().empty() ? "cannot write the session files" : writer.Error();
        return false;
    }
    return true;
}

}  // namespace sim
