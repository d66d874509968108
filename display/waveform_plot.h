// The sweep display of the monitoring view: a 512-column main trace with an event
// strip below it, and the pulse trend drawn at the left of the view. It draws into
// its own off-screen image of the view's client size; the view copies that image to
// the screen. Qt-free.
//
// Every operation and every read of the image holds the plot's lock: the reduced
// protocol's receive thread appends while the GUI thread repaints or resets.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "display/pixel_canvas.h"
#include "platform/colour.h"

class WaveformPlot {
public:
    static constexpr int kColumns = 512;
    static constexpr int kTraceX = 329;      // x of column 0
    static constexpr int kTraceBaseY = 272;  // y of value 0
    static constexpr int kStripTop = 280;    // y of event bit 0
    static constexpr int kTrendX = 4;        // pulse trend: x of column 0
    static constexpr int kTrendBaseY = 337;  // pulse trend: y of value 0
    static constexpr CanvasRect kFrame{328, 24, 842, 274};
    static constexpr CanvasRect kStrip{328, 280, 842, 289};
    // Values above 248 draw up to y 17, above the frame.
    static constexpr CanvasRect kAboveFrame{328, 17, 842, 24};
    static constexpr Colour kBackground = RGB(224, 224, 255);
    static constexpr Colour kMarkColour = RGB(0, 90, 255);  // a mark's tick
    static constexpr Colour kResetDot = RGB(0, 0, 255);
    static constexpr Colour kTrendPen = RGB(0, 255, 0);
    static constexpr Colour kBlack = RGB(0, 0, 0);
    static constexpr int kClientWidth = 843;
    static constexpr int kClientHeight = 436;

    // Starts in the reset state, with nothing drawn.
    explicit WaveformPlot(int width = kClientWidth, int height = kClientHeight);
    ~WaveformPlot();
    WaveformPlot(const WaveformPlot&) = delete;
    WaveformPlot& operator=(const WaveformPlot&) = delete;

    // One main-trace sample at the write position (erase the old segment, store,
    // draw the new one, the event pixels), then the position advances and wraps.
    // events: the event flags of the latest measurement record (the view passes the
    // program-wide byte that packet interpretation keeps).
    void AppendSample(uint8_t value, Colour colour, uint8_t events = 0);
    // One pulse trend value at the current write position; the position stays.
    void AppendPulseTrend(uint8_t value);
    // Reset values into every buffer, then a full redraw.
    void ResetPlot();
    // Frame, whole main trace and event strip from the buffers, into the own image.
    void RedrawPlot();
    // The same picture into another canvas (printing), leaving the own image alone.
    void RedrawPlotInto(PixelCanvas& target) const;
    // What a repaint of these parts of the window shows: the window's background with
    // the whole redraw on it, so the gap at the write position shows and the pulse
    // trend is gone there until appends draw it again. Changes only the own image;
    // the caller is the one repainting.
    void Expose(std::span<const CanvasRect> rects);

    struct TrendPoints;  // waveform_plot.cpp
    // The pulse trend's remembered points are one pair for the whole program; a plot
    // that must not move the other windows' trend (a session review) keeps its own.
    void UseOwnTrendPoints();

    // Everything the plot shows and goes on from, the image run-length coded: a review
    // keeps it at checkpoints and puts it back when it seeks.
    struct Snapshot {
        int write_position = 0;
        uint8_t samples[kColumns] = {};
        Colour sample_colours[kColumns] = {};
        uint8_t pulse_trend[kColumns] = {};
        uint8_t event_bits[kColumns] = {};
        int last_erase[2] = {}, last_draw[2] = {};
        int trend_erase[2] = {}, trend_draw[2] = {};
        std::vector<uint32_t> runs;  // (count, pixel) pairs over the image, row by row
        size_t Bytes() const { return sizeof *this + runs.size() * sizeof(uint32_t); }
    };
    void Save(Snapshot& out) const;
    // Takes the state and the image back; all of it is to be repainted.
    void Restore(const Snapshot& in);

    // After Close nothing draws any more; the view calls it when it goes away, so
    // an append from a receive thread that is still stopping is dropped.
    void Close();
    bool IsClosed() const;

    // What was drawn since the last repaint, in three parts, so that an append's two
    // short segments, its strip column and the pulse trend's point far to the left do
    // not make one rectangle over all that lies between them.
    struct DirtyRegion {
        CanvasRect strip;  // inside kStrip
        CanvasRect trace;  // the main trace, and whole redraws
        CanvasRect trend;
        bool Empty() const { return strip.Empty() && trace.Empty() && trend.Empty(); }
        bool Contains(int x, int y) const {
            return strip.Contains(x, y) || trace.Contains(x, y) || trend.Contains(x, y);
        }
    };
    // Repaint bookkeeping: every drawing operation grows the dirty region, and the
    // first one after TakeDirtyRegion calls the request function (under the lock,
    // so it must only post). Requests are thereby coalesced to one pending at a time.
    using RepaintRequest = void (*)(void* context);
    void SetRepaintRequest(RepaintRequest request, void* context);
    // The region drawn since the last call; clears it and the pending request.
    DirtyRegion TakeDirtyRegion();

    // Runs f(const PixelCanvas&) under the lock: the only way to read the image.
    template <class F>
    void WithCanvas(F&& f) const {
        std::lock_guard<std::mutex> lock(mutex_);
        f(static_cast<const PixelCanvas&>(canvas_));
    }

    // A mark: a blue tick over the event strip's column, until the sweep comes round to
    // it. Samples appended so far (the caller tells whether a column has come round).
    void MarkColumn(int column);
    bool Marked(int column) const;
    uint64_t Appended() const;

    // State, for the view's tests and tools.
    int WritePosition() const;
    uint8_t Sample(int column) const;
    Colour SampleColour(int column) const;
    uint8_t PulseTrendValue(int column) const;
    uint8_t EventBits(int column) const;

private:
    struct Point {
        int x = 0;
        int y = 0;
    };
    void ResetLocked();
    void RedrawLocked(PixelCanvas& target) const;
    void MarkDirty(CanvasRect DirtyRegion::*part, const CanvasRect& rect);
    static CanvasRect RedrawRegion();
    static CanvasRect LineBox(int x0, int y0, int x1, int y1);

    TrendPoints* trend_points_;
    std::unique_ptr<TrendPoints> own_trend_points_;
    mutable std::mutex mutex_;
    PixelCanvas canvas_;
    // The redraw alone, for exposes; nothing else ever draws into it, so outside the
    // redraw's region it stays transparent (the window's background).
    PixelCanvas exposed_;
    bool closed_ = false;
    int write_position_ = 0;
    uint8_t samples_[kColumns];
    Colour sample_colours_[kColumns];
    uint8_t pulse_trend_[kColumns];
    uint8_t event_bits_[kColumns];
    bool marked_[kColumns] = {};
    uint64_t appended_ = 0;
    Point last_erase_;
    Point last_draw_;

    DirtyRegion dirty_;
    bool repaint_pending_ = false;
    RepaintRequest repaint_request_ = nullptr;
    void* repaint_context_ = nullptr;
};
