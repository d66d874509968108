#include "tools/velt-process/export_options.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char kExportUsage[] =
    "export (framed protocols; one row or data record per second):\n"
    "  --edf OUT.edf   EDF+ for analysis tools: pleth IR/Red/Red2 (50/s), ECG (protocol 2,\n"
    "                  900/s), SpO2, pulse, perfusion, R-HbCO as shown (1/s), annotations\n"
    "  --csv OUT.csv   CSV for spreadsheets: time, spo2, pulse, perfusion, rhbco, status, link\n"
    "  --from S --to S a part: whole seconds from the start of the stream\n"
    "  --start TIME    local time of a raw stream's start, YYYY-MM-DDTHH:MM:SS (a raw stream\n"
    "                  has no clock: by default its file's last change less its length)\n"
    "  --patient \"CODE SEX BIRTHDATE NAME\"  EDF+ patient field (X for unknown; default X X X "
    "X)\n"
    "  --report OUT.pdf  the oximetry report (A4 PDF): SpO2 and pulse summary, T90, ODI 3 and\n"
    "                  4 %, desaturations, histograms, trend, and how each number is computed\n"
    "  --report-json OUT.json  the report's numbers as JSON\n"
    "alarms:\n"
    "  --alarms        one line per alarm start and end, as a window raises them:\n"
    "                  SECONDS<TAB>start|end<TAB>high|medium|low<TAB>NAME<TAB>TEXT\n"
    "  --alarm-settings INI  limits, delays and switches from its [alarms] section\n";

namespace {

bool ParseSeconds(const char* text, int64_t* out) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < 0) return false;
    *out = v;
    return true;
}

bool ParseLocalTime(const char* text, int64_t* unix_us) {
    std::tm tm{};
    const char* end = strptime(text, "%Y-%m-%dT%H:%M:%S", &tm);
    if (end == nullptr || *end != '\0') return false;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    *unix_us = static_cast<int64_t>(t) * 1000000;
    return true;
}

}  // namespace

int ParseExportOption(int argc, char** argv, int& i, ExportArguments* args) {
    const std::string a = argv[i];
    if (a == "--alarms") {
        args->alarms = true;
        return 1;
    }
    static const char* const kOptions[] = {"--edf",    "--csv",         "--from",
                                           "--to",     "--start",       "--patient",
                                           "--report", "--report-json", "--alarm-settings"};
    bool known = false;
    for (const char* o : kOptions) known = known || a == o;
    if (!known) return 0;
    if (i + 1 >= argc) {
        args->error = a + " needs a value";
        return -1;
    }
    const char* v = argv[++i];
    ExportOptions& o = args->options;
    if (a == "--edf") {
        o.edf_path = v;
    } else if (a == "--csv") {
        o.csv_path = v;
    } else if (a == "--report" || a == "--report-json") {
        (a == "--report" ? args->report_pdf : args->report_json) = v;
    } else if (a == "--alarm-settings") {
        args->alarm_settings = v;
    } else if (a == "--from" || a == "--to") {
        if (!ParseSeconds(v, a == "--from" ? &o.from_s : &o.to_s)) {
            args->error = a + " takes whole seconds from the start, e.g. 3600";
            return -1;
        }
    } else if (a == "--start") {
        if (!ParseLocalTime(v, &args->start_unix_us)) {
            args->error = "--start takes a local time as 2026-12-09T21:52:00";
            return -1;
        }
        args->start_given = true;
    } else {
        o.patient = v;
        const std::string problem = data_export::CheckPatientField(o.patient);
        if (!problem.empty()) {
            args->error = "--patient: " + problem;
            return -1;
        }
    }
    return 1;
}

bool CheckExportArguments(ExportArguments* args, bool capture) {
    const ExportOptions& o = args->options;
    const bool ranged = o.from_s != 0 || o.to_s != -1;
    if (!args->Files() && !args->Report() && (ranged || args->start_given || !o.patient.empty())) {
        args->error = "--from, --to, --start and --patient go with --edf or --csv (or --report)";
        return false;
    }
    if (!args->alarm_settings.empty() && !args->alarms) {
        args->error = "--alarm-settings goes with --alarms";
        return false;
    }
    if (o.to_s != -1 && o.to_s <= o.from_s) {
        args->error = "--to must lie after --from";
        return false;
    }
    if (capture && args->start_given) {
        args->error = "a capture holds its own start time: --start is for a raw stream";
        return false;
    }
    return true;
}

bool RawStreamStart(ExportArguments& args, const std::string& input, int protocol,
                    int64_t* start_unix_us) {
    if (args.start_given) {
        *start_unix_us = args.start_unix_us;
        return true;
    }
    if (input == "-") {
        *start_unix_us = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        return true;
    }
    struct stat st {};
    const int64_t records = CountStreamRecords(input, protocol);
    if (records < 0 || ::stat(input.c_str(), &st) != 0) {
        args.error = "cannot read input \"" + input + "\": " + std::strerror(errno);
        return false;
    }
    const int64_t changed =
        static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
    *start_unix_us = changed - records * 20000;
    return true;
}
