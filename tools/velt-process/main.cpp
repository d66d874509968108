// velt-process: runs a device stream through the code the app runs (the receive
// decoder of the protocol, the link's queue and packet processing, the
// interpretation) with a headless view, for checking logs and fields offline. The
// stream is a raw file of device bytes, or what a recorded program received in a
// capture file (velt-capture), fed chunk by chunk as it arrived.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/frame_decoder.h"
#include "link/frame_handler.h"
#include "link/link_view.h"
#include "link/oximeter.h"
#include "link/reduced_decoder.h"
#include "link/session_export.h"
#include "platform/debug_output.h"
#include "platform/tick.h"
#include "processing/interpretation.h"
#include "processing/measurement.h"
#include "recordings/capture_file.h"
#include "tools/velt-process/export_options.h"
#include "tools/velt-process/publish.h"

namespace {

const char kUsage[] =
    "usage: velt-process [--protocol 1|2|3] [--log-dir DIR] [--debug-out FILE]\n"
    "                    [--fields FILE] [--acks FILE] [EXPORT] INPUT | --capture FILE\n"
    "  INPUT           raw device bytes (- for standard input); --protocol defaults to 1\n"
    "  --capture FILE  a velt-capture file: the device bytes the recorded program received\n"
    "                  while its port was open, in the recorded chunks; the protocol is the\n"
    "                  one recorded in the file unless --protocol overrides it; exit\n"
    "                  status 3 when damage or a cut tail was skipped (a note says where)\n"
    "  --publish URL   publish what is processed to an MQTT broker (mqtt://host:port or\n"
    "                  mqtts://host:port) as velt-monitoring does; with --monitor NAME (the\n"
    "                  host name), --pace (one framed record per 20 ms, as the device\n"
    "                  sends), --waveform (the plethysmogram too), --username U,\n"
    "                  --password-file F, --ca-file F, --cert-file F, --key-file F\n"
    "%s";

int Usage(const char* message) {
    std::fprintf(stderr, "velt-process: %s\n", message);
    std::fprintf(stderr, kUsage, kExportUsage);
    return 2;
}

// What reading skipped, said where it is: 3 when anything was skipped (so scripts
// notice), 1 on a read error, else 0.
int CaptureNote(const std::string& path, const recordings::CaptureFileReader& reader) {
    if (!reader.Error().empty()) {
        std::fprintf(stderr, "velt-process: \"%s\": %s\n", path.c_str(), reader.Error().c_str());
        return 1;
    }
    const std::string skipped = CaptureSkipped(reader);
    if (!skipped.empty())
        std::fprintf(stderr, "velt-process: \"%s\": %s\n", path.c_str(), skipped.c_str());
    return skipped.empty() ? 0 : 3;
}

std::FILE* OpenOutput(const std::string& path, const char* what) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        std::fprintf(stderr, "velt-process: cannot write %s \"%s\": %s\n", what, path.c_str(),
                     std::strerror(errno));
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    int protocol = 0;  // 0: not given
    std::string log_dir, debug_out, fields_out, acks_out, input, capture;
    ExportArguments exporting;
    HeadlessPublishOptions publish;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::printf(kUsage, kExportUsage);
            return 0;
        }
        if (a == "--protocol") {
            if (!value(v) || (v != "1" && v != "2" && v != "3"))
                return Usage("--protocol takes 1, 2 or 3");
            protocol = v[0] - '0';
        } else if (a == "--log-dir") {
            if (!value(log_dir)) return Usage("--log-dir needs a directory");
        } else if (a == "--debug-out") {
            if (!value(debug_out)) return Usage("--debug-out needs a file");
        } else if (a == "--fields") {
            if (!value(fields_out)) return Usage("--fields needs a file");
        } else if (a == "--acks") {
            if (!value(acks_out)) return Usage("--acks needs a file");
        } else if (a == "--publish" || a == "--monitor" || a == "--username" ||
                   a == "--password-file" || a == "--ca-file" || a == "--cert-file" ||
                   a == "--key-file") {
            std::string* to[] = {&publish.broker.url,      &publish.monitor,
                                 &publish.broker.username, &publish.broker.password_file,
                                 &publish.broker.ca_file,  &publish.broker.cert_file,
                                 &publish.broker.key_file};
            const char* names[] = {"--publish", "--monitor",   "--username", "--password-file",
                                   "--ca-file", "--cert-file", "--key-file"};
            for (size_t k = 0; k < 7; ++k)
                if (a == names[k] && !value(*to[k])) return Usage((a + " needs a value").c_str());
        } else if (a == "--pace") {
            publish.pace = true;
        } else if (a == "--waveform") {
            publish.waveform = true;
        } else if (a == "--capture") {
            if (!value(capture)) return Usage("--capture needs a file");
        } else if (int taken = ParseExportOption(argc, argv, i, &exporting); taken != 0) {
            if (taken < 0) return Usage(exporting.error.c_str());
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage(("unknown option " + a).c_str());
        } else if (input.empty()) {
            input = a;
        } else {
            return Usage("only one input");
        }
    }
    if (!capture.empty() && !input.empty()) return Usage("--capture replaces INPUT");
    if (input.empty() && capture.empty()) return Usage("no input given");
    if (!CheckExportArguments(&exporting, !capture.empty(), input))
        return Usage(exporting.error.c_str());

    std::FILE* in = nullptr;
    // A capture is read in pieces: the memory held does not grow with the file.
    recordings::CaptureFileReader reader;
    if (!capture.empty()) {
        input = capture;
        if (!reader.Open(capture)) {
            std::fprintf(stderr, "velt-process: \"%s\": %s\n", capture.c_str(),
                         reader.Error().c_str());
            return 1;
        }
    } else {
        in = input == "-" ? stdin : std::fopen(input.c_str(), "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "velt-process: cannot read input \"%s\": %s\n", input.c_str(),
                         std::strerror(errno));
            return 1;
        }
        if (protocol == 0) protocol = 1;
    }
    if (!capture.empty()) {
        // The header holds what the tap was told, so an explicit protocol wins.
        if (protocol == 0) {
            protocol = reader.header().protocol;
        } else if (protocol != reader.header().protocol) {
            std::fprintf(stderr,
                         "velt-process: \"%s\" was recorded as protocol %d; decoding it as "
                         "protocol %d as asked\n",
                         capture.c_str(), reader.header().protocol, protocol);
        }
    }
    if (exporting.Wanted() && protocol == 3)
        return Usage(
            "--edf and --csv need a framed protocol (1 or 2): the reduced protocol's "
            "records carry no timing");
    int64_t start_us = 0;  // the wall-clock time of the stream's start, for exports
    if (exporting.Wanted() && capture.empty() &&
        !RawStreamStart(exporting, input, protocol, &start_us)) {
        std::fprintf(stderr, "velt-process: %s\n", exporting.error.c_str());
        return 1;
    }
    std::FILE* debug = nullptr;
    if (!debug_out.empty() && (debug = OpenOutput(debug_out, "debug output")) == nullptr) return 1;
    std::FILE* acks = nullptr;
    if (!acks_out.empty() && (acks = OpenOutput(acks_out, "acknowledgements")) == nullptr) return 1;
    if (debug != nullptr) {
        platform::SetDebugSink([debug](std::string_view text) {
            std::fwrite(text.data(), 1, text.size(), debug);
            if (text.empty() || text.back() != '\n') std::fputc('\n', debug);
        });
    }

    int rc = 0;
    {
        processing::Measurement measurement(log_dir);
        HeadlessView view;
        COximeter link(nullptr, protocol, true, &measurement);
        link.AttachView(&view);
        std::unique_ptr<HeadlessPublisher> publisher;
        if (!publish.broker.url.empty()) {
            std::string error;
            publish.port = input;
            if (protocol == 3) error = "--publish needs a framed protocol (1 or 2)";
            if (!error.empty() ||
                !(publisher = HeadlessPublisher::Start(publish, link, view, &error))) {
                std::fprintf(stderr, "velt-process: %s\n", error.c_str());
                return 2;
            }
        }
        LinkFrameHandler handler(link, [acks](const uint8_t* ack, size_t size) {
            if (acks != nullptr) std::fwrite(ack, 1, size, acks);
            return 0;
        });
        std::unique_ptr<ExportSession> exporter;
        if (exporting.Wanted()) {
            if (!capture.empty()) start_us = reader.header().start_unix_us;
            exporter =
                std::make_unique<ExportSession>(exporting.options, view.fields, link.Statistics(),
                                                measurement, protocol, start_us, !capture.empty());
            // An export shows what the window showed: at a loss, a close and "No
            // data" the window's values give way to "x" and a status text.
            exporter->SetDisplayReset(
                [&](const char* status) { ResetHeadlessDisplay(link, view, status); });
            if (!exporter->Open()) {
                std::fprintf(stderr, "velt-process: %s\n", exporter->Error().c_str());
                return 1;
            }
        }
        ReducedDecoder reduced;
        processing::ReducedInterpreter interpreter;
        auto feed = [&](const uint8_t* bytes, size_t got) {
            link.Statistics().Add(LinkStatistics::kBytes, got);
            if (protocol == 3) {
                const uint32_t stray = reduced.dropped();
                reduced.Feed(bytes, got, [&](uint8_t code, uint8_t value) {
                    link.Statistics().Add(LinkStatistics::kFrames);
                    interpreter.OnRecord(code, value, &view, link.HeartbeatSound());
                });
                link.Statistics().Add(LinkStatistics::kIncomplete, reduced.dropped() - stray);
            } else {
                link.Decoder().Feed(bytes, got, handler);
            }
        };
        if (in == nullptr) {
            FeedCapture(reader, link, exporter.get(), feed);
            rc = CaptureNote(capture, reader);
        } else {
            std::vector<uint8_t> chunk(4096);
            for (;;) {
                size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
                if (got == 0) break;
                feed(chunk.data(), got);
            }
        }
        if (in != nullptr && std::ferror(in)) {
            std::fprintf(stderr, "velt-process: read error on \"%s\"\n", input.c_str());
            rc = 1;
        }
        if (!fields_out.empty()) {
            std::FILE* f = OpenOutput(fields_out, "fields");
            if (f == nullptr) {
                rc = 1;
            } else {
                for (int field = 0; field < ViewFieldCount; ++field)
                    std::fprintf(f, "%s\t%s\n", ViewFieldName(field), view.fields[field].c_str());
                std::fclose(f);
            }
        }
        if (exporter && !exporter->Finish()) {
            std::fprintf(stderr, "velt-process: %s\n", exporter->Error().c_str());
            rc = 1;
        }
        exporter.reset();
        link.AttachView(nullptr);
        // The same account of the stream as a link gives when it closes.
        char line[256];
        FormatLinkStatistics(line, sizeof line, input.c_str(), link.Statistics().Read());
        std::printf("%s\n", line);
    }
    if (in != nullptr && in != stdin) std::fclose(in);
    if (acks != nullptr) std::fclose(acks);
    if (debug != nullptr) {
        platform::SetDebugSink({});
        std::fclose(debug);
    }
    return rc;
}
