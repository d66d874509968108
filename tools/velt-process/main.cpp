// velt-process: runs a device stream through the code the app runs (the receive
// decoder of the protocol, the link's queue and packet processing, the
// interpretation) with a headless view, for checking logs and fields offline. The
// stream is a raw file of device bytes, or what a recorded program received in a
// capture file (velt-capture), fed chunk by chunk as it arrived.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "export/second_values.h"
#include "link/frame_decoder.h"
#include "link/frame_handler.h"
#include "link/link_view.h"
#include "link/oximeter.h"
#include "link/reduced_decoder.h"
#include "platform/debug_output.h"
#include "platform/file_identity.h"
#include "platform/tick.h"
#include "processing/interpretation.h"
#include "processing/measurement.h"
#include "recordings/capture_connection.h"
#include "recordings/capture_file.h"
#include "sessions/night_report.h"
#include "sessions/report_pdf.h"
#include "sessions/session_export.h"
#include "sessions/session_report.h"
#include "tools/velt-process/alarm_lines.h"
#include "tools/velt-process/export_options.h"
#include "tools/velt-process/publish.h"

namespace {

const char kUsage[] =
    "usage: velt-process [--protocol 1|2|3] [--log-dir DIR] [--debug-out FILE]\n"
    "                    [--fields FILE] [--acks FILE] [EXPORT] INPUT | --capture FILE...\n"
    "  INPUT           raw device bytes (- for standard input); --protocol defaults to 1\n"
    "  --capture FILE  a velt-capture file: the device bytes the recorded program received\n"
    "                  while its port was open, in the recorded chunks; the protocol is the\n"
    "                  one recorded in the file unless --protocol overrides it; exit\n"
    "                  status 3 when damage or a cut tail was skipped (a note says where)\n"
    "                  A session file is one part of its connection: the other files of the\n"
    "                  connection in its folder are found and processed with it as one\n"
    "                  session; several files given are taken as the connection's, in\n"
    "                  order. Parts missing are named, with exit status 3\n"
    "  --publish URL   publish what is processed to an MQTT broker (mqtt://host:port or\n"
    "                  mqtts://host:port) as velt-monitoring does; with --monitor NAME (the\n"
    "                  host name), --pace (one framed record per 20 ms, as the device\n"
    "                  sends), --waveform (the plethysmogram too), --username U,\n"
    "                  --password-file F, --ca-file F, --cert-file F, --key-file F\n"
    "                  The alarms go too, with the default settings (or those of\n"
    "                  --alarm-settings with --alarms)\n"
    "%s";

int Usage(const char* message) {
    std::fprintf(stderr, "velt-process: %s\n", message);
    std::fprintf(stderr, kUsage, kExportUsage);
    return 2;
}

// What reading skipped, said where it is: 3 when anything was skipped (so scripts
// notice), 1 on a read error, else 0.
int CaptureNote(const std::string& path, const recordings::CaptureConnectionReader& reader) {
    if (!reader.Error().empty()) {
        if (reader.PartCount() > 1)
            std::fprintf(stderr, "velt-process: %s\n", reader.Error().c_str());
        else
            std::fprintf(stderr, "velt-process: \"%s\": %s\n", path.c_str(),
                         reader.Error().c_str());
        return 1;
    }
    const std::string skipped = CaptureSkipped(reader);
    if (!skipped.empty())
        std::fprintf(stderr, "velt-process: \"%s\": %s\n", path.c_str(), skipped.c_str());
    return skipped.empty() && reader.Missing().empty() ? 0 : 3;
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
    std::vector<std::string> captures;  // --capture's files (capture: the first)
    std::string session;                // the connection's first file: its marks beside it
    ExportArguments exporting;
    HeadlessPublishOptions publish;
};

// An export or publishing run writes the diagnostic logs only where --log-dir says
// (a plain run keeps them in the working directory, where they were always looked for).
bool Logging(const Options& o) {
    return !o.log_dir.empty() || (!o.exporting.Wanted() && o.publish.broker.url.empty());
}

// The diagnostic logs of a run: where Measurement writes them.
std::vector<std::string> LogPaths(const Options& o) {
    if (!Logging(o)) return {};
    const auto probe = std::make_unique<processing::Measurement>(o.log_dir);
    std::vector<std::string> paths;
    for (const platform::TextLog* log :
         {&probe->fTxtLog, &probe->fTxtLog2, &probe->dumpWL1617, &probe->maxima, &probe->cm_maxima,
          &probe->dumpPutEKG, &probe->dumpGetEKG})
        paths.push_back(log->Path());
    return paths;
}

// An output never replaces an input (compared as files: "./x", links), a session being
// recorded, or another output: 2 with the names, else -1 to go on.
int CheckFiles(const Options& o) {
    struct Named {
        std::string option, path;
    };
    std::vector<Named> inputs, outputs;
    const HeadlessPublishOptions& p = o.publish;
    for (const Named& in :
         {Named{"INPUT", o.input == "-" ? std::string() : o.input},
          Named{"--alarm-settings", o.exporting.alarm_settings},
          Named{"--password-file", p.broker.password_file}, Named{"--ca-file", p.broker.ca_file},
          Named{"--cert-file", p.broker.cert_file}, Named{"--key-file", p.broker.key_file}})
        if (!in.path.empty()) inputs.push_back(in);
    for (const std::string& capture : o.captures) inputs.push_back({"--capture", capture});
    for (const Named& out :
         {Named{"--edf", o.exporting.options.edf_path},
          Named{"--csv", o.exporting.options.csv_path}, Named{"--report", o.exporting.report_pdf},
          Named{"--report-json", o.exporting.report_json}, Named{"--fields", o.fields_out},
          Named{"--acks", o.acks_out}, Named{"--debug-out", o.debug_out}})
        if (!out.path.empty()) outputs.push_back(out);
    for (const std::string& log : LogPaths(o)) outputs.push_back({"the log", log});
    auto refuse = [](const std::string& text) {
        std::fprintf(stderr, "velt-process: %s\n", text.c_str());
        return 2;
    };
    for (size_t i = 0; i < outputs.size(); ++i) {
        const Named& out = outputs[i];
        for (const Named& in : inputs)
            if (out.path == in.path || platform::SameFile(out.path, in.path))
                return refuse(out.option + " \"" + out.path + "\" would overwrite its input \"" +
                              in.path + "\" (" + in.option + "): the same file");
        if (platform::HeldByWriter(out.path))
            return refuse(out.option + " \"" + out.path +
                          "\" is a session being recorded: choose another file");
        for (size_t j = 0; j < i; ++j)
            if (out.path == outputs[j].path || platform::SameFile(out.path, outputs[j].path))
                return refuse(outputs[j].option + " and " + out.option + " name the same file \"" +
                              out.path + "\"");
    }
    return -1;
}

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
            o->captures.push_back(o->capture);
            // The files after it are the connection's next ones.
            while (i + 1 < argc && argv[i + 1][0] != '-') o->captures.push_back(argv[++i]);
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
    if (!CheckExportArguments(&o->exporting, !o->capture.empty()))
        return Usage(o->exporting.error.c_str());
    return CheckFiles(*o);
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
// files), with the rest of its connection when one file is given, its protocol the
// recorded one unless given. What is missing of the connection is said. 0 or 1.
int OpenCapture(Options& o, recordings::CaptureConnectionReader& reader) {
    o.input = o.capture;
    std::vector<std::string> files = o.captures;
    std::string error;
    if (files.size() == 1 && !recordings::FindConnectionFiles(o.capture, &files, &error)) {
        std::fprintf(stderr, "velt-process: \"%s\": %s\n", o.capture.c_str(), error.c_str());
        return 1;
    }
    o.session = files.front();
    if (!reader.Open(files)) {
        if (files.size() > 1)
            std::fprintf(stderr, "velt-process: %s\n", reader.Error().c_str());
        else
            std::fprintf(stderr, "velt-process: \"%s\": %s\n", o.capture.c_str(),
                         reader.Error().c_str());
        return 1;
    }
    if (files.size() > 1 || reader.header().part > 1)
        std::fprintf(stderr,
                     "velt-process: \"%s\": %zu file%s of its connection, \"%s\" to \"%s\"\n",
                     o.capture.c_str(), files.size(), files.size() == 1 ? "" : "s",
                     files.front().c_str(), files.back().c_str());
    for (const std::string& line : reader.Missing())
        std::fprintf(stderr, "velt-process: \"%s\": %s\n", o.capture.c_str(), line.c_str());
    if (!reader.header().connection.empty() && !reader.Closed())
        std::fprintf(stderr,
                     "velt-process: \"%s\": the connection's last file found does not end with "
                     "the port's close: a later part may be missing, or it was still being "
                     "recorded, or its program ended without closing\n",
                     o.capture.c_str());
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
        measurement_.SetLogging(Logging(o));
        link_.AttachView(&view_);
    }

    // Publishing to a broker as velt-monitoring does. 0, or 2 when it cannot start.
    int StartPublishing() {
        if (options_.publish.broker.url.empty()) return 0;
        HeadlessPublishOptions publish = options_.publish;
        publish.port = options_.input;
        std::string error;
        const std::string& alarm_settings = options_.exporting.alarm_settings;
        if (!alarm_settings.empty() && !publish.alarm_settings.Load(alarm_settings, &error))
            error = "--alarm-settings " + error;
        if (options_.protocol == 3) error = "--publish needs a framed protocol (1 or 2)";
        if (error.empty()) publisher_ = HeadlessPublisher::Start(publish, link_, view_, &error);
        if (publisher_) return 0;
        std::fprintf(stderr, "velt-process: %s\n", error.c_str());
        return 2;
    }

    // 4 when nothing processed reached the broker.
    int EndPublishing() { return publisher_ && !publisher_->End() ? 4 : 0; }

    // The once-a-second pipeline from start_us (the stream's wall-clock start): the EDF+
    // and CSV export, the report's seconds, the alarms. 0, 1, or 2 for bad alarm settings.
    int StartExport(int64_t start_us) {
        const ExportArguments& e = options_.exporting;
        if (!e.Wanted()) return 0;
        start_us_ = start_us;
        alarms::Settings settings = alarms::Settings::Defaults();
        std::string error;
        if (!e.alarm_settings.empty() && !settings.Load(e.alarm_settings, &error)) {
            std::fprintf(stderr, "velt-process: --alarm-settings %s\n", error.c_str());
            return 2;
        }
        exporter_ = std::make_unique<ExportSession>(e.options, view_.fields, link_.Statistics(),
                                                    measurement_, options_.protocol, start_us,
                                                    !options_.capture.empty());
        std::vector<session_events::Mark> marks;
        if (!options_.session.empty() &&
            !session_events::LoadMarks(options_.session, &marks, &error)) {
            std::fprintf(stderr, "velt-process: %s\n", error.c_str());
            return 1;
        }
        exporter_->AddMarks(marks);
        if (e.Report())
            exporter_->SetSecondObserver(
                [this](int64_t second, const data_export::SecondValues& v) {
                    report::AddShownSecond(&report_, second, v);
                });
        if (e.alarms) {
            alarms_ = std::make_unique<AlarmLines>(settings, stdout);
            exporter_->SetMomentObserver(
                [this](int64_t t_us, bool lost) { alarms_->At(t_us, view_.fields, lost); });
        }
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
    int RunCapture(recordings::CaptureConnectionReader& reader) {
        FeedCapture(reader, link_, exporter_.get(),
                    [this](const uint8_t* bytes, size_t got) { Feed(bytes, got); });
        return CaptureNote(options_.capture, reader);
    }

    // The fields, the export's end and the link's account of the stream, then one line
    // per file written. 0 or 1.
    int Finish() {
        int rc = 0;
        const bool fields = !options_.fields_out.empty() && WriteFields();
        if (!options_.fields_out.empty() && !fields) rc = 1;
        int64_t exported_s = -1;
        if (exporter_ && !exporter_->Finish()) {
            std::fprintf(stderr, "velt-process: %s\n", exporter_->Error().c_str());
            rc = 1;
        } else if (exporter_) {
            exported_s = exporter_->SecondsWritten();
            if (options_.exporting.Report() && !WriteReport()) rc = 1;
        }
        exporter_.reset();
        link_.AttachView(nullptr);
        // The same account of the stream as a link gives when it closes.
        char line[256];
        FormatLinkStatistics(line, sizeof line, options_.input.c_str(), link_.Statistics().Read());
        std::printf("%s\n", line);
        const ExportOptions& e = options_.exporting.options;
        if (exported_s >= 0) {
            const ExportArguments& a = options_.exporting;
            for (const auto& [path, format] : {std::pair{&e.edf_path, "EDF+"},
                                               {&e.csv_path, "CSV"},
                                               {&a.report_pdf, "report"},
                                               {&a.report_json, "report JSON"}})
                if (!path->empty()) Wrote(*path, format, exported_s);
        }
        if (fields) Wrote(options_.fields_out, "fields");
        if (!options_.acks_out.empty()) Wrote(options_.acks_out, "acknowledgements");
        if (!options_.debug_out.empty()) Wrote(options_.debug_out, "debugger output");
        for (const platform::TextLog* log :
             {&measurement_.fTxtLog, &measurement_.fTxtLog2, &measurement_.dumpWL1617,
              &measurement_.maxima, &measurement_.cm_maxima, &measurement_.dumpPutEKG,
              &measurement_.dumpGetEKG})
            if (log->IsOpen()) Wrote(log->Path(), "log");
        return rc;
    }

private:
    static void Wrote(const std::string& path, const char* what, int64_t seconds = -1) {
        if (seconds < 0) {
            std::printf("velt-process: wrote %s (%s)\n", path.c_str(), what);
            return;
        }
        struct stat st {};
        const long long bytes = ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
        std::printf("velt-process: wrote %s (%s, %s, %lld bytes)\n", path.c_str(), what,
                    report::Duration(seconds).c_str(), bytes);
    }

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

    // The report of the seconds the export went through. False when it cannot be written.
    bool WriteReport() {
        const ExportArguments& e = options_.exporting;
        report::Numbers numbers = report::Compute(report_, 0);
        report::ReportInfo info;
        NoteForReport(*exporter_, &numbers, &info.marks);
        std::string error;
        if (!e.report_json.empty()) {
            std::FILE* f = OpenOutput(e.report_json, "the report's JSON");
            if (f == nullptr) return false;
            const std::string json = report::Json(numbers);
            const bool written = std::fwrite(json.data(), 1, json.size(), f) == json.size();
            if (std::fclose(f) != 0 || !written) {
                std::fprintf(stderr, "velt-process: cannot write \"%s\"\n", e.report_json.c_str());
                return false;
            }
        }
        if (e.report_pdf.empty()) return true;
        info.start_unix_us = start_us_ + e.options.from_s * 1000000;
        info.port = options_.input;
        info.protocol = options_.protocol;
        for (int i = 0; i < 4; ++i) info.documentation[i] = exporter_->Documentation(i);
        info.patient = e.options.patient;
        info.version = VELT_VERSION;
        info.settings = report::RangeText(e.options.from_s, e.options.to_s);
        if (report::WriteReportPdf(e.report_pdf, info, numbers, report_, &error)) return true;
        std::fprintf(stderr, "velt-process: cannot write the report: %s\n", error.c_str());
        return false;
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
    int64_t start_us_ = 0;
    std::vector<report::Second> report_;
    std::unique_ptr<AlarmLines> alarms_;
    ReducedDecoder reduced_;
    processing::ReducedInterpreter interpreter_;
};

// The input through the pipeline with its outputs: the exit status.
int Process(const Options& o, std::FILE* raw, recordings::CaptureConnectionReader& capture,
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
    recordings::CaptureConnectionReader capture;
    if (int rc = o.capture.empty() ? OpenRawStream(o, &raw) : OpenCapture(o, capture); rc != 0)
        return rc;
    if (o.exporting.Wanted() && o.protocol == 3)
        return Usage(
            "--edf, --csv, --report and --alarms need a framed protocol (1 or 2): the reduced "
            "protocol's records carry no timing");
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
    } else if (o.exporting.Wanted() || !o.publish.broker.url.empty()) {
        // An export's or a publisher's terminal shows what went wrong, not the
        // interpretation's trace: that goes only where --debug-out says.
        platform::SetDebugSink([](std::string_view) {});
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
