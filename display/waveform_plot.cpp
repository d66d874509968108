#include "display/waveform_plot.h"

#include <algorithm>

// The pulse trend's remembered points are one pair for the whole program, shared by
// every view, so they have a lock of their own (always taken after a plot's lock).
struct WaveformPlot::TrendPoints {
    std::mutex mutex;
    int erase_x = 0, erase_y = 0;
    int draw_x = 0, draw_y = 0;
};

namespace {

WaveformPlot::TrendPoints& SharedTrendPoints() {
    static WaveformPlot::TrendPoints points;
    return points;
}

inline int Column(int column) { return column & (WaveformPlot::kColumns - 1); }

}  // namespace

WaveformPlot::WaveformPlot(int width, int height)
    : trend_points_(&SharedTrendPoints()), canvas_(width, height), exposed_(width, height) {
    ResetLocked();
}

WaveformPlot::~WaveformPlot() = default;

void WaveformPlot::UseOwnTrendPoints() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!own_trend_points_) own_trend_points_ = std::make_unique<TrendPoints>();
    trend_points_ = own_trend_points_.get();
}

void WaveformPlot::Save(Snapshot& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    out.write_position = write_position_;
    std::copy(samples_, samples_ + kColumns, out.samples);
    std::copy(sample_colours_, sample_colours_ + kColumns, out.sample_colours);
    std::copy(pulse_trend_, pulse_trend_ + kColumns, out.pulse_trend);
    std::copy(event_bits_, event_bits_ + kColumns, out.event_bits);
    out.last_erase[0] = last_erase_.x;
    out.last_erase[1] = last_erase_.y;
    out.last_draw[0] = last_draw_.x;
    out.last_draw[1] = last_draw_.y;
    {
        std::lock_guard<std::mutex> trend_lock(trend_points_->mutex);
        out.trend_erase[0] = trend_points_->erase_x;
        out.trend_erase[1] = trend_points_->erase_y;
        out.trend_draw[0] = trend_points_->draw_x;
        out.trend_draw[1] = trend_points_->draw_y;
    }
    out.runs.clear();
    const uint32_t* p = canvas_.Bits();
    const size_t n = static_cast<size_t>(canvas_.Width()) * canvas_.Height();
    for (size_t i = 0; i < n;) {
        size_t j = i + 1;
        while (j < n && p[j] == p[i]) ++j;
        out.runs.push_back(static_cast<uint32_t>(j - i));
        out.runs.push_back(p[i]);
        i = j;
    }
    out.runs.shrink_to_fit();
}

void WaveformPlot::Restore(const Snapshot& in) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    write_position_ = in.write_position & (kColumns - 1);
    std::copy(in.samples, in.samples + kColumns, samples_);
    std::copy(in.sample_colours, in.sample_colours + kColumns, sample_colours_);
    std::copy(in.pulse_trend, in.pulse_trend + kColumns, pulse_trend_);
    std::copy(in.event_bits, in.event_bits + kColumns, event_bits_);
    last_erase_ = {in.last_erase[0], in.last_erase[1]};
    last_draw_ = {in.last_draw[0], in.last_draw[1]};
    {
        std::lock_guard<std::mutex> trend_lock(trend_points_->mutex);
        trend_points_->erase_x = in.trend_erase[0];
        trend_points_->erase_y = in.trend_erase[1];
        trend_points_->draw_x = in.trend_draw[0];
        trend_points_->draw_y = in.trend_draw[1];
    }
    uint32_t* p = canvas_.MutableBits();
    const size_t n = static_cast<size_t>(canvas_.Width()) * canvas_.Height();
    size_t at = 0;
    for (size_t r = 0; r + 1 < in.runs.size() && at < n; r += 2) {
        const size_t count = std::min<size_t>(in.runs[r], n - at);
        std::fill(p + at, p + at + count, in.runs[r + 1]);
        at += count;
    }
    MarkDirty(&DirtyRegion::trace, {0, 0, canvas_.Width(), canvas_.Height()});
}

void WaveformPlot::ResetLocked() {
    write_position_ = 0;
    for (int i = 0; i < kColumns; ++i) {
        samples_[i] = 128;
        sample_colours_[i] = i % 4 == 0 ? kResetDot : kBackground;
        pulse_trend_[i] = 0;
        event_bits_[i] = 0;
        marked_[i] = false;
    }
}

CanvasRect WaveformPlot::RedrawRegion() {
    CanvasRect region = kAboveFrame;
    region.Unite(kFrame);
    region.Unite(kStrip);
    return region;
}

CanvasRect WaveformPlot::LineBox(int x0, int y0, int x1, int y1) {
    return {std::min(x0, x1), std::min(y0, y1), std::max(x0, x1) + 1, std::max(y0, y1) + 1};
}

void WaveformPlot::MarkDirty(CanvasRect DirtyRegion::*part, const CanvasRect& rect) {
    (dirty_.*part).Unite(rect);
    if (!repaint_pending_ && repaint_request_ != nullptr) {
        repaint_pending_ = true;
        repaint_request_(repaint_context_);
    }
}

void WaveformPlot::AppendSample(uint8_t value, Colour colour, uint8_t events) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    const int p = write_position_;
    const int x = kTraceX + p;

    // Erase pass: retrace the previous sweep's segment into this column.
    canvas_.SetPen(kBackground);
    if (p == 0)
        canvas_.MoveTo(kTraceX, kTraceBaseY - samples_[0]);
    else
        canvas_.MoveTo(last_erase_.x, last_erase_.y);
    const int erase_from_x = canvas_.CurrentX();
    const int erase_from_y = canvas_.CurrentY();
    const int old_y = kTraceBaseY - samples_[p];
    last_erase_ = {x, old_y};
    canvas_.LineTo(x, old_y);
    canvas_.MoveTo(x, kStripTop);
    canvas_.LineTo(x, kStripTop + 8);

    samples_[p] = value;
    sample_colours_[p] = colour;
    event_bits_[p] = events;
    marked_[p] = false;  // the strip column's erase took the tick
    ++appended_;

    // Draw pass.
    canvas_.SetPen(colour);
    if (p == 0)
        canvas_.MoveTo(kTraceX, kTraceBaseY - samples_[0]);
    else
        canvas_.MoveTo(last_draw_.x, last_draw_.y);
    const int draw_from_x = canvas_.CurrentX();
    const int draw_from_y = canvas_.CurrentY();
    const int new_y = kTraceBaseY - value;
    last_draw_ = {x, new_y};
    canvas_.LineTo(x, new_y);

    for (int b = 0; b < 8; ++b) {
        if (events & (1u << b)) canvas_.SetPixel(x, kStripTop + b, kBlack);
    }

    write_position_ = p + 1 == kColumns ? 0 : p + 1;

    CanvasRect dirty = LineBox(erase_from_x, erase_from_y, x, old_y);
    dirty.Unite(LineBox(draw_from_x, draw_from_y, x, new_y));
    MarkDirty(&DirtyRegion::trace, dirty);
    MarkDirty(&DirtyRegion::strip, {x, kStripTop, x + 1, kStripTop + 8});
}

void WaveformPlot::AppendPulseTrend(uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    TrendPoints& points = *trend_points_;
    std::lock_guard<std::mutex> trend_lock(points.mutex);
    const int p = write_position_;
    const int x = kTrendX + p;

    canvas_.SetPen(kBackground);
    if (p == 0)
        canvas_.MoveTo(kTrendX, kTrendBaseY - pulse_trend_[0]);
    else
        canvas_.MoveTo(points.erase_x, points.erase_y);
    const int old_y = kTrendBaseY - pulse_trend_[p];
    points.erase_x = x;
    points.erase_y = old_y;
    CanvasRect dirty = LineBox(canvas_.CurrentX(), canvas_.CurrentY(), x, old_y);
    canvas_.LineTo(x, old_y);

    pulse_trend_[p] = value;

    canvas_.SetPen(kTrendPen);
    if (p == 0)
        canvas_.MoveTo(kTrendX, kTrendBaseY - pulse_trend_[0]);
    else
        canvas_.MoveTo(points.draw_x, points.draw_y);
    const int new_y = kTrendBaseY - value;
    dirty.Unite(LineBox(canvas_.CurrentX(), canvas_.CurrentY(), x, new_y));
    points.draw_x = x;
    points.draw_y = new_y;
    canvas_.LineTo(x, new_y);
    MarkDirty(&DirtyRegion::trend, dirty);
}

void WaveformPlot::ResetPlot() {
    std::lock_guard<std::mutex> lock(mutex_);
    ResetLocked();
    if (closed_) return;
    RedrawLocked(canvas_);
    MarkDirty(&DirtyRegion::trace, RedrawRegion());
}

void WaveformPlot::RedrawPlot() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    RedrawLocked(canvas_);
    MarkDirty(&DirtyRegion::trace, RedrawRegion());
}

void WaveformPlot::RedrawPlotInto(PixelCanvas& target) const {
    std::lock_guard<std::mutex> lock(mutex_);
    RedrawLocked(target);
}

void WaveformPlot::Expose(std::span<const CanvasRect> rects) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || rects.empty()) return;
    RedrawLocked(exposed_);
    for (const CanvasRect& rect : rects) canvas_.CopyRect(exposed_, rect);
}

void WaveformPlot::RedrawLocked(PixelCanvas& target) const {
    // A repaint starts from the window's background, so values that once reached
    // above the frame do not linger there.
    target.ClearRect(kAboveFrame);
    target.FillRect(kFrame, kBackground);
    target.FrameRect(kFrame, kBlack);
    target.FillRect(kStrip, kBackground);
    target.MoveTo(kTraceX, kTraceBaseY - samples_[0]);
    // The first column always chooses a pen; later ones only when the colour changes.
    bool have_pen = false;
    for (int i = 0; i < kColumns; ++i) {
        if (!have_pen || sample_colours_[i] != target.Pen()) {
            target.SetPen(sample_colours_[i]);
            have_pen = true;
        }
        const int x = kTraceX + i;
        const int y = kTraceBaseY - samples_[i];
        if (i == write_position_)
            target.MoveTo(x, y);  // the gap between the newest and the oldest sample
        else
            target.LineTo(x, y);
        const uint8_t events = event_bits_[i];
        for (int b = 0; b < 8; ++b) {
            if (events & (1u << b)) target.SetPixel(x, kStripTop + b, kBlack);
        }
    }
    for (int i = 0; i < kColumns; ++i) {
        if (!marked_[i]) continue;
        target.SetPen(kMarkColour);
        target.MoveTo(kTraceX + i, kStripTop);
        target.LineTo(kTraceX + i, kStripTop + 8);
    }
}

void WaveformPlot::MarkColumn(int column) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || column < 0 || column >= kColumns) return;
    marked_[column] = true;
    const int x = kTraceX + column;
    canvas_.SetPen(kMarkColour);
    canvas_.MoveTo(x, kStripTop);
    canvas_.LineTo(x, kStripTop + 8);
    MarkDirty(&DirtyRegion::strip, {x, kStripTop, x + 1, kStripTop + 8});
}

bool WaveformPlot::Marked(int column) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return column >= 0 && column < kColumns && marked_[column];
}

uint64_t WaveformPlot::Appended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return appended_;
}

void WaveformPlot::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
}

bool WaveformPlot::IsClosed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

void WaveformPlot::SetRepaintRequest(RepaintRequest request, void* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    repaint_request_ = request;
    repaint_context_ = context;
}

WaveformPlot::DirtyRegion WaveformPlot::TakeDirtyRegion() {
    std::lock_guard<std::mutex> lock(mutex_);
    const DirtyRegion dirty = dirty_;
    dirty_ = {};
    repaint_pending_ = false;
    return dirty;
}

int WaveformPlot::WritePosition() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_position_;
}

uint8_t WaveformPlot::Sample(int column) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_[Column(column)];
}

Colour WaveformPlot::SampleColour(int column) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sample_colours_[Column(column)];
}

uint8_t WaveformPlot::PulseTrendValue(int column) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pulse_trend_[Column(column)];
}

uint8_t WaveformPlot::EventBits(int column) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return event_bits_[Column(column)];
}
