#include "sessions/report_pdf.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace report {
namespace {

constexpr double kPageWidth = 595.276, kPageHeight = 841.89;  // A4 in points
constexpr double kMargin = 42;
constexpr double kRight = kPageWidth - kMargin;
constexpr int kMaxPages = 3;

std::string Clock(int64_t unix_us, bool date) {
    const std::time_t t = static_cast<std::time_t>(unix_us / 1000000);
    std::tm local{};
    char text[40] = "";
    if (localtime_r(&t, &local) != nullptr)
        std::strftime(text, sizeof text, date ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
    return text;
}

class Pages {
public:
    Pages(const std::string& path, const std::string& footer)
        : surface_(cairo_pdf_surface_create(path.c_str(), kPageWidth, kPageHeight)),
          cr_(cairo_create(surface_)),
          footer_(footer) {}
    ~Pages() {
        cairo_destroy(cr_);
        cairo_surface_destroy(surface_);
    }
    // Ends the document; false with *error when cairo could not write it.
    bool Finish(std::string* error) {
        Footer();
        cairo_surface_finish(surface_);
        const cairo_status_t s = cairo_surface_status(surface_);
        if (s == CAIRO_STATUS_SUCCESS) return true;
        *error = cairo_status_to_string(s);
        return false;
    }
    cairo_t* cr() { return cr_; }
    int page() const { return page_; }
    bool CanTurn() const { return page_ < kMaxPages; }
    void Turn() {
        Footer();
        cairo_show_page(cr_);
        ++page_;
    }

    void Font(double size, bool bold) {
        cairo_select_font_face(cr_, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                               bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr_, size);
    }
    double Width(const std::string& s) {
        cairo_text_extents_t e;
        cairo_text_extents(cr_, s.c_str(), &e);
        return e.x_advance;
    }
    void Text(double x, double y, const std::string& s, double size = 9, bool bold = false) {
        Font(size, bold);
        cairo_set_source_rgb(cr_, 0, 0, 0);
        cairo_move_to(cr_, x, y);
        cairo_show_text(cr_, s.c_str());
    }
    void RightText(double x, double y, const std::string& s, double size = 9) {
        Font(size, false);
        Text(x - Width(s), y, s, size);
    }
    // Words set in lines no wider than width from (x, y); the y after the last line.
    double Paragraph(double x, double y, double width, const std::string& text, double size) {
        Font(size, false);
        std::string line, word;
        auto flush = [&] {
            Text(x, y, line, size);
            y += size * 1.35;
            line.clear();
        };
        for (size_t i = 0; i <= text.size(); ++i) {
            if (i < text.size() && text[i] != ' ') {
                word += text[i];
                continue;
            }
            const std::string wider = line.empty() ? word : line + " " + word;
            Font(size, false);
            if (!line.empty() && Width(wider) > width) {
                flush();
                line = word;
            } else {
                line = wider;
            }
            word.clear();
        }
        if (!line.empty()) flush();
        return y;
    }

private:
    void Footer() {
        RightText(kRight, kPageHeight - 24, footer_ + " \u00b7 page " + std::to_string(page_), 7);
    }

    cairo_surface_t* surface_;
    cairo_t* cr_;
    std::string footer_;
    int page_ = 1;
};

std::string Minutes(int64_t seconds, double percent) {
    return Fixed(static_cast<double>(seconds) / 60.0, 1) + " min (" + Fixed(percent, 1) + " %)";
}

// Label and value rows in two columns; the y below them.
double Rows(Pages& p, double y, const std::vector<std::pair<std::string, std::string>>& rows,
            double label_x = kMargin, double value_x = kMargin + 150) {
    for (const auto& [label, value] : rows) {
        p.Text(label_x, y, label, 9, true);
        p.Text(value_x, y, value.empty() ? "\u2014" : value, 9);
        y += 12;
    }
    return y;
}

void Bars(Pages& p, double x, double y, double width, const char* title, const Band* bands,
          int count) {
    cairo_t* cr = p.cr();
    p.Text(x, y, title, 10, true);
    y += 8;
    const double bar_x = x + 55, bar_width = width - 55 - 95;
    for (int i = 0; i < count; ++i) {
        const double top = y + i * 14;
        p.Text(x, top + 10, bands[i].label, 8.5);
        cairo_set_source_rgb(cr, 0.30, 0.45, 0.75);
        cairo_rectangle(cr, bar_x, top + 2, bar_width * bands[i].percent / 100.0, 10);
        cairo_fill(cr);
        p.RightText(x + width, top + 10, Minutes(bands[i].seconds, bands[i].percent), 8);
    }
}

// SpO2 (50..100 %) and pulse (0..200 /min) over the whole time, one column per point
// of width; desaturations shaded, marks as ticks, gaps left blank.
void Trend(Pages& p, double top, double height, const Numbers& n, const std::vector<Second>& s,
           const std::vector<Mark>& marks) {
    cairo_t* cr = p.cr();
    const double x0 = kMargin + 28, width = kRight - 28 - x0;
    const double count = std::max<double>(1, static_cast<double>(s.size()));
    auto x_of = [&](double second) { return x0 + width * second / count; };
    p.Text(kMargin, top - 8, "Trend: SpO2 (blue, %, left) and pulse (red, /min, right)", 10, true);
    cairo_set_source_rgb(cr, 1.0, 0.85, 0.65);
    for (const Desaturation& e : n.events) {
        if (e.threshold != 3) continue;
        cairo_rectangle(cr, x_of(e.start), top,
                        std::max(0.6, x_of(e.start + e.duration) - x_of(e.start)), height);
    }
    cairo_fill(cr);
    cairo_set_line_width(cr, 0.3);
    cairo_set_source_rgb(cr, 0.75, 0.75, 0.75);
    for (int v = 50; v <= 100; v += 10) {
        const double y = top + height * (100 - v) / 50.0;
        cairo_move_to(cr, x0, y);
        cairo_line_to(cr, x0 + width, y);
        cairo_stroke(cr);
        p.RightText(x0 - 3, y + 3, std::to_string(v), 7);
        p.Text(x0 + width + 3, y + 3, std::to_string((v - 50) * 4), 7);
    }
    struct Trace {
        float Second::*value;
        double lo, hi, r, g, b;
    } traces[] = {{&Second::spo2, 50, 100, 0, 0, 0.85}, {&Second::pulse, 0, 200, 0.85, 0, 0}};
    for (const Trace& t : traces) {
        cairo_set_source_rgb(cr, t.r, t.g, t.b);
        cairo_set_line_width(cr, 0.7);
        const int columns = static_cast<int>(width * 2);
        for (int c = 0; c < columns; ++c) {
            const size_t from = static_cast<size_t>(count * c / columns);
            const size_t to = std::max(from + 1, static_cast<size_t>(count * (c + 1) / columns));
            float lo = NAN, hi = NAN;
            for (size_t i = from; i < to && i < s.size(); ++i) {
                const float v = s[i].*t.value;
                if (std::isnan(v)) continue;
                lo = std::isnan(lo) ? v : std::min(lo, v);
                hi = std::isnan(hi) ? v : std::max(hi, v);
            }
            if (std::isnan(lo)) continue;
            auto y_of = [&](double v) {
                return top + height * (1 - (std::clamp(v, t.lo, t.hi) - t.lo) / (t.hi - t.lo));
            };
            const double x = x0 + width * (c + 0.5) / columns;
            cairo_move_to(cr, x, y_of(hi) - 0.35);
            cairo_line_to(cr, x, y_of(lo) + 0.35);
            cairo_stroke(cr);
        }
    }
    cairo_set_source_rgb(cr, 0.2, 0.6, 0.2);
    cairo_set_line_width(cr, 1);
    for (size_t i = 0; i < marks.size(); ++i) {
        const double x = x_of(static_cast<double>(marks[i].second));
        cairo_move_to(cr, x, top - 2);
        cairo_line_to(cr, x, top + height);
        cairo_stroke(cr);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 0.6);
    cairo_rectangle(cr, x0, top, width, height);
    cairo_stroke(cr);
    for (int k = 0; k <= 4; ++k) {
        const double second = count * k / 4;
        p.Text(x_of(second) - (k == 4 ? 30
                               : k    ? 15
                                      : 0),
               top + height + 10, Duration(static_cast<int64_t>(second)), 7);
    }
}

}  // namespace

std::string Duration(int64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

bool WriteReportPdf(const std::string& path, const ReportInfo& info, const Numbers& n,
                    const std::vector<Second>& seconds, std::string* error) {
    const std::string temp = path + ".part";
    {
        Pages p(temp, "VELT Monitoring " + info.version + " \u00b7 not a diagnosis");
        const int64_t start = info.start_unix_us;
        const int64_t end = start + n.seconds * 1000000;
        p.Text(kMargin, 58, "Oximetry report", 18, true);
        p.RightText(kRight, 58, Clock(start, true) + " \u2013 " + Clock(end, false), 10);
        static const char* const kDocs[4] = {"Operator", "Serial", "Sensor", "Comment"};
        std::vector<std::pair<std::string, std::string>> header = {
            {"Start", Clock(start, true)},
            {"End", Clock(end, true)},
            {"Length", Duration(n.seconds)},
            {"Valid time", Duration(n.valid_seconds) + " (without a shown SpO2: " +
                               Fixed(n.invalid_percent, 1) + " % of the time)"},
            {"Port", info.port},
            {"Protocol", info.protocol > 0 ? std::to_string(info.protocol) : ""}};
        for (int i = 0; i < 4; ++i) header.push_back({kDocs[i], info.documentation[i]});
        header.push_back({"Patient", info.patient});
        header.push_back({"Report", info.settings});
        header.push_back({"Program", "VELT Monitoring " + info.version});
        double y = Rows(p, 86, header);

        const std::string min_at =
            n.spo2_min_at >= 0 ? " at " + Clock(start + n.spo2_min_at * 1000000, false) : "";
        auto odi = [](int events, double rate) {
            return std::to_string(events) + " events, " + Fixed(rate, 1) + " /h";
        };
        auto depth = [](double d, double length) {
            return std::isnan(d) ? std::string()
                                 : Fixed(d, 1) + " % for " + Fixed(length, 0) + " s";
        };
        std::vector<std::pair<std::string, std::string>> summary = {
            {"SpO2 mean", Fixed(n.spo2_mean, 1) + (std::isnan(n.spo2_mean) ? "" : " %")},
            {"SpO2 median", Fixed(n.spo2_median, 1)},
            {"SpO2 minimum", Fixed(n.spo2_min, 1) + min_at},
            {"SpO2 standard deviation", Fixed(n.spo2_sd, 2)}};
        for (const Numbers::Below& b : n.below)
            summary.push_back(
                {"Time below " + std::to_string(b.limit) + " %" + (b.limit == 90 ? " (T90)" : ""),
                 Minutes(b.seconds, b.percent)});
        summary.push_back({"ODI 3 %", odi(n.desaturations3, n.odi3)});
        summary.push_back({"ODI 4 %", odi(n.desaturations4, n.odi4)});
        summary.push_back({"Mean desaturation, 3 %", depth(n.depth3, n.length3)});
        summary.push_back({"Mean desaturation, 4 %", depth(n.depth4, n.length4)});
        summary.push_back({"Pulse mean / min / max", Fixed(n.pulse_mean, 1) + " / " +
                                                         Fixed(n.pulse_min, 1) + " / " +
                                                         Fixed(n.pulse_max, 1) + " /min"});
        summary.push_back({"Marks", std::to_string(n.marks)});
        summary.push_back({"Alarms (as the window recorded them)", AlarmSummary(n)});
        p.Text(kMargin, y + 14, "Summary", 12, true);
        y = Rows(p, y + 32, summary);

        const double half = (kRight - kMargin - 20) / 2;
        Bars(p, kMargin, y + 20, half, "SpO2 (%)", n.spo2_bands, 6);
        Bars(p, kMargin + half + 20, y + 20, half, "Pulse (/min)", n.pulse_bands, 7);
        y += 20 + 8 + 7 * 14 + 24;
        // The trend on the first page when it fits there at a readable height.
        double trend = std::min(200.0, kPageHeight - 60 - y - 46);
        if (trend < 120) {
            p.Turn();
            y = 70;
            trend = 200;
        }
        Trend(p, y + 12, trend, n, seconds, info.marks);
        y += 12 + trend + 34;

        // Desaturations and marks in time order.
        std::vector<std::pair<int64_t, std::string>> timed;
        for (const Desaturation& e : n.events)
            timed.push_back({e.start, Clock(start + e.start * 1000000, false) + "|" +
                                          Duration(e.start) + "|" + std::to_string(e.threshold) +
                                          "|" + std::to_string(e.duration) + "|" +
                                          Fixed(e.baseline, 1) + "|" + Fixed(e.nadir, 1) + "|" +
                                          Fixed(e.baseline - e.nadir, 1)});
        for (const Mark& m : info.marks)
            timed.push_back({m.second, Clock(start + m.second * 1000000, false) + "|" +
                                           Duration(m.second) + "|mark|" + m.text});
        std::stable_sort(timed.begin(), timed.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::string> rows;
        for (auto& [second, row] : timed) rows.push_back(std::move(row));
        static const char* const kColumns[] = {"Time",     "From start", "d (%)", "Length (s)",
                                               "Baseline", "Nadir",      "Drop"};
        static const double kAt[] = {0, 60, 130, 175, 240, 300, 355};
        auto heading = [&](double at) {
            p.Text(kMargin, at, "Desaturations and marks", 12, true);
            for (int c = 0; c < 7; ++c) p.Text(kMargin + kAt[c], at + 16, kColumns[c], 8.5, true);
            return at + 30;
        };
        if (y + 42 > kPageHeight - 60 && p.CanTurn()) {  // not a heading alone
            p.Turn();
            y = 70;
        }
        y = heading(y);
        size_t shown = 0;
        for (; shown < rows.size(); ++shown) {
            if (y > kPageHeight - 60) {
                if (!p.CanTurn()) break;
                p.Turn();
                y = heading(70);
            }
            size_t from = 0;
            for (int c = 0; c < 7 && from <= rows[shown].size(); ++c) {
                size_t bar = rows[shown].find('|', from);
                if (bar == std::string::npos) bar = rows[shown].size();
                p.Text(kMargin + kAt[c], y, rows[shown].substr(from, bar - from), 8.5);
                from = bar + 1;
            }
            y += 12;
        }
        if (shown < rows.size())
            p.Text(kMargin, y,
                   "\u2026 and " + std::to_string(rows.size() - shown) +
                       " more (all of them in the report's JSON)",
                   8.5);
        if (rows.empty()) p.Text(kMargin, y, "None.", 8.5);
        y += 26;
        if (y > kPageHeight - 170 && p.CanTurn()) {
            p.Turn();
            y = 70;
        }
        p.Text(kMargin, y, "Definitions", 12, true);
        y += 18;
        for (int i = 0; kReportDefinitions[i] != nullptr; ++i)
            y = p.Paragraph(kMargin, y, kRight - kMargin, kReportDefinitions[i], 8.5) + 4;
        if (!p.Finish(error)) {
            unlink(temp.c_str());
            *error = temp + ": " + *error;
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace report
