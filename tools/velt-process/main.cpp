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
#include "platform/debug_output.h"
#include "platform/tick.h"
#include "processing/interpretation.h"
#include "processing/measurement.h"
#include "recordings/capture_file.h"
#include "sessions/session_export.h"
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

struct Options {
    int protocol = 0;  // 0: not given
    std::string log_dir, debug_out, fields_out, acks_out, input, capture;
    ExportArguments exporting;
    HeadlessPublishOptions publish;
};

// The command line into *o: -1 to go on, else the exit status (help, a usage error).
int ParseArguments(int argc, char** argv, Options* o) {
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
            o->protocol = v[0] - '0';
        } else if (a == "--log-dir") {
            if (!value(o->log_dir)) return Usage("--log-dir needs a directory");
        } else if (a == "--debug-out") {
            if (!value(o->debug_out)) return Usage("--debug-out needs a file");
        } else if (a == "--fields") {
            if (!value(o->fields_out)) return Usage("--fields needs a file");
        } else if (a == "--acks") {
            if (!value(o->acks_out)) return Usage("--acks needs a file");
        } else if (a == "--publish" || a == "--monitor" || a == "--username" ||
                   a == "--password-file" || a == "--ca-file" || a == "--cert-file" ||
                   a == "--key-file") {
            HeadlessPublishOptions& p = o->publish;
            std::string* to[] = {&p.broker.url,           &p.monitor,        &p.broker.username,
                                 &p.broker.password_file, &p.broker.ca_file, &p.broker.cert_file,
                                 &p.broker.key_file};
            const char* names[] = {"--publish", "--monitor",   "--username", "--password-file",
                                   "--ca-file", "--cert-file", "--key-file"};
            for (size_t k = 0; k < 7; ++k)
                if (a == names[k] && !value(*to[k])) return Usage((a + " needs a value").c_str());
        } else if (a == "--pace") {
            o->publish.pace = true;
        } else if (a == "--waveform") {
            o->publish.waveform = true;
        } else if (a == "--capture") {
            if (!value(o->capture)) return Usage("--capture needs a file");
        } else if (int taken = ParseExportOption(argc, argv, i, &o->exporting); taken != 0) {
            if (taken < 0) return Usage(o->exporting.error.c_str());
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage(("unknown option " + a).c_str());
        } else if (o->input.empty()) {
            o->input = a;
        } else {
            return Usage("only one input");
        }
    }
    if (!o->capture.empty() && !o->input.empty()) return Usage("--capture replaces INPUT");
    if (o->input.empty() && o->capture.empty()) return Usage("no input given");
    if (!CheckExportArguments(&o->exporting, !o->capture.empty(), o->input))
        return Usage(o->exporting.error.c_str());
    return -1;
}

// A raw stream of device bytes: opened, its protocol 1 unless given. 0 or 1.
int OpenRawStream(Options& o, std::FILE** in) {
    *in = o.input == "-" ? stdin : std::fopen(o.input.c_str(), "rb");
    if (*in == nullptr) {
        std::fprintf(stderr, "velt-process: cannot read input \"%s\": %s\n", o.input.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (o.protocol == 0) o.protocol = 1;
    return 0;
}

// A capture: opened for reading in pieces (the memory held does not grow with the
// file), its protocol the recorded one unless given. 0 or 1.
int OpenCapture(Options& o, recordings::CaptureFileReader& reader) {
    o.input = o.capture;
    if (!reader.Open(o.capture)) {
        std::fprintf(stderr, "velt-process: \"%s\": %s\n", o.capture.c_str(),
                     reader.Error().c_str());
        return 1;
    }
    // The header holds what the tap was told, so an explicit protocol wins.
    if (o.protocol == 0) {
        o.protocol = reader.header().protocol;
    } else if (o.protocol != reader.header().protocol) {
        std::fprintf(stderr,
                     "velt-process: \"%s\" was recorded as protocol %d; decoding it as "
                     "protocol %d as asked\n",
                     o.capture.c_str(), reader.header().protocol, o.protocol);
    }
    return 0;
}

// What the app's link does with a stream (decoding, acknowledgements, the queue's
// processing, the interpretation into a headless view), and the outputs beside it.
class Pipeline {
public:
    Pipeline(const Options& o, std::FILE* acks)
        : options_(o),
          measurement_(o.log_dir),
          link_(nullptr, o.protocol, true, &measurement_),
          handler_(link_, [acks](const uint8_t* ack, size_t size) {
              if (acks != nullptr) std::fwrite(ack, 1, size, acks);
              return 0;
          }) {
        link_.AttachView(&view_);
    }

    // Publishing to a broker as velt-monitoring does. 0, or 2 when it cannot start.
    int StartPublishing() {
        if (options_.publish.broker.url.empty()) return 0;
        HeadlessPublishOptions publish = options_.publish;
        publish.port = options_.input;
        std::string error;
        if (options_.protocol == 3) error = "--publish needs a framed protocol (1 or 2)";
        if (error.empty()) publisher_ = HeadlessPublisher::Start(publish, link_, view_, &error);
        if (publisher_) return 0;
        std::fprintf(stderr, "velt-process: %s\n", error.c_str());
        return 2;
    }

    // 4 when nothing processed reached the broker.
    int EndPublishing() { return publisher_ && !publisher_->End() ? 4 : 0; }

    // The EDF+ and CSV export from start_us (the stream's wall-clock start). 0 or 1.
    int StartExport(int64_t start_us) {
        if (!options_.exporting.Wanted()) return 0;
        exporter_ = std::make_unique<ExportSession>(
            options_.exporting.options, view_.fields, link_.Statistics(), measurement_,
            options_.protocol, start_us, !options_.capture.empty());
        // An export shows what the window showed: at a loss, a close and "No data" the
        // window's values give way to "x" and a status text.
        exporter_->SetDisplayReset(
            [this](const char* status) { ResetHeadlessDisplay(link_, view_, status); });
        if (exporter_->Open()) return 0;
        std::fprintf(stderr, "velt-process: %s\n", exporter_->Error().c_str());
        return 1;
    }

    // A raw stream to its end. 0, or 1 on a read error.
    int RunRawStream(std::FILE* in) {
        std::vector<uint8_t> chunk(4096);
        for (;;) {
            size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
            if (got == 0) break;
            Feed(chunk.data(), got);
        }
        if (!std::ferror(in)) return 0;
        std::fprintf(stderr, "velt-process: read error on \"%s\"\n", options_.input.c_str());
        return 1;
    }

    // A capture's received chunks as the recorded program got them. CaptureNote's status.
    int RunCapture(recordings::CaptureFileReader& reader) {
        FeedCapture(reader, link_, exporter_.get(),
                    [this](const uint8_t* bytes, size_t got) { Feed(bytes, got); });
        return CaptureNote(options_.capture, reader);
    }

    // The fields, the export's end and the link's account of the stream. 0 or 1.
    int Finish() {
        int rc = 0;
        if (!options_.fields_out.empty() && !WriteFields()) rc = 1;
        if (exporter_ && !exporter_->Finish()) {
            std::fprintf(stderr, "velt-process: %s\n", exporter_->Error().c_str());
            rc = 1;
        }
        exporter_.reset();
        link_.AttachView(nullptr);
        // The same account of the stream as a link gives when it closes.
        char line[256];
        FormatLinkStatistics(line, sizeof line, options_.input.c_str(), link_.Statistics().Read());
        std::printf("%s\n", line);
        return rc;
    }

private:
    void Feed(const uint8_t* bytes, size_t got) {
        link_.Statistics().Add(LinkStatistics::kBytes, got);
        if (options_.protocol != 3) {
            link_.Decoder().Feed(bytes, got, handler_);
            return;
        }
        const uint32_t stray = reduced_.dropped();
        reduced_.Feed(bytes, got, [&](uint8_t code, uint8_t value) {
            link_.Statistics().Add(LinkStatistics::kFrames);
            interpreter_.OnRecord(code, value, &view_, link_.HeartbeatSound());
        });
        link_.Statistics().Add(LinkStatistics::kIncomplete, reduced_.dropped() - stray);
    }

    bool WriteFields() {
        std::FILE* f = OpenOutput(options_.fields_out, "fields");
        if (f == nullptr) return false;
        for (int field = 0; field < ViewFieldCount; ++field)
            std::fprintf(f, "%s\t%s\n", ViewFieldName(field), view_.fields[field].c_str());
        std::fclose(f);
        return true;
    }

    const Options& options_;
    processing::Measurement measurement_;
    HeadlessView view_;
    COximeter link_;
    std::unique_ptr<HeadlessPublisher> publisher_;
    LinkFrameHandler handler_;
    std::unique_ptr<ExportSession> exporter_;
    ReducedDecoder reduced_;
    processing::ReducedInterpreter interpreter_;
};

// The input through the pipeline with its outputs: the exit status.
int Process(const Options& o, std::FILE* raw, recordings::CaptureFileReader& capture,
            int64_t start_us, std::FILE* acks) {
    Pipeline pipeline(o, acks);
    if (int rc = pipeline.StartPublishing(); rc != 0) return rc;
    if (!o.capture.empty()) start_us = capture.header().start_unix_us;
    if (int rc = pipeline.StartExport(start_us); rc != 0) return rc;
    int rc = raw != nullptr ? pipeline.RunRawStream(raw) : pipeline.RunCapture(capture);
    if (int p = pipeline.EndPublishing(); p != 0 && (rc == 0 || rc == 3)) rc = p;
    if (pipeline.Finish() != 0) rc = 1;
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (int rc = ParseArguments(argc, argv, &o); rc >= 0) return rc;

    std::FILE* raw = nullptr;
    recordings::CaptureFileReader capture;
    if (int rc = o.capture.empty() ? OpenRawStream(o, &raw) : OpenCapture(o, capture); rc != 0)
        return rc;
    if (o.exporting.Wanted() && o.protocol == 3)
        return Usage(
            "--edf and --csv need a framed protocol (1 or 2): the reduced protocol's "
            "records carry no timing");
    int64_t start_us = 0;  // the wall-clock time of a raw stream's start, for exports
    if (o.exporting.Wanted() && raw != nullptr &&
        !RawStreamStart(o.exporting, o.input, o.protocol, &start_us)) {
        std::fprintf(stderr, "velt-process: %s\n", o.exporting.error.c_str());
        return 1;
    }
    std::FILE* debug = nullptr;
    if (!o.debug_out.empty() && (debug = OpenOutput(o.debug_out, "debug output")) == nullptr)
        return 1;
    std::FILE* acks = nullptr;
    if (!o.acks_out.empty() && (acks = OpenOutput(o.acks_out, "acknowledgements")) == nullptr)
        return 1;
    if (debug != nullptr) {
        platform::SetDebugSink([debug](std::string_view text) {
            std::fwrite(text.data(), 1, text.size(), debug);
            if (text.empty() || text.back() != '\n') std::fputc('\n', debug);
        });
    }

    const int rc = Process(o, raw, capture, start_us, acks);

    if (raw != nullptr && raw != stdin) std::fclose(raw);
    if (acks != nullptr) std::fclose(acks);
    if (debug != nullptr) {
        platform::SetDebugSink({});
        std::fclose(debug);
    }
    return rc;
}
