#include "tools/oximeter-sim/sim_session.h"

#include "recordings/capture_file.h"

namespace sim {

bool WriteSimulatedSession(const std::string& path, const SessionOptions& options,
                           std::string* error) {
    using recordings::CaptureKind;
    recordings::CaptureHeader header;
    header.protocol = options.device.protocol;
    header.start_unix_us = options.start_unix_us;
    header.device = "/dev/ttyUSB0";
    header.line = options.device.protocol == 2 ? "115200 8N1" : "57600 8N2";
    header.host = "ward-3";
    header.writer = "oximeter-sim session";
    recordings::CaptureWriter writer;
    if (!writer.Open(path, header)) {
        *error = writer.Error();
        return false;
    }
    DeviceModel model(options.device);
    if (options.port_records) writer.Add(CaptureKind::PortOpened, 0);
    const uint64_t records = static_cast<uint64_t>(options.seconds * 50);
    for (uint64_t i = 0; i < records; ++i) {
        const uint64_t t = (i + 1) * 20000;
        const double s = static_cast<double>(t) / 1e6;
        std::vector<uint8_t> bytes = model.NextRecordBytes();
        bool quiet = false;
        for (const SessionGap& g : options.gaps) {
            if (s >= g.at_s && s < g.at_s + g.length_s) quiet = true;
            if (!g.lost) continue;
            if (t == static_cast<uint64_t>(g.at_s * 1e6)) {
                static const char kWhy[] = "error 5";
                writer.Add(CaptureKind::DeviceLost, t, reinterpret_cast<const uint8_t*>(kWhy),
                           sizeof kWhy - 1);
            }
            if (t == static_cast<uint64_t>((g.at_s + g.length_s) * 1e6))
                writer.Add(CaptureKind::DeviceBack, t);
        }
        for (const SessionNote& n : options.notes)
            if (n.at_s * 1e6 > static_cast<double>(t) - 20000 &&
                n.at_s * 1e6 <= static_cast<double>(t))
                writer.Add(n.kind, t, reinterpret_cast<const uint8_t*>(n.text.data()),
                           n.text.size());
        if (!quiet) writer.Add(CaptureKind::DeviceBytes, t, bytes.data(), bytes.size());
        if (i % 5000 == 0 && !writer.Flush()) break;
    }
    if (options.port_records)
        writer.Add(CaptureKind::PortClosed, static_cast<uint64_t>(options.seconds * 1e6) + 20000);
    if (!writer.Close()) {
        *error = writer.Error();
        return false;
    }
    return true;
}

}  // namespace sim
