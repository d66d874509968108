// Where the measurement processing shows its results: the value fields, the plot and
// the heartbeat sound. The device link's view extends it; tests and headless tools
// implement it with fakes. Qt-free on purpose.
#pragma once

#include <cstdint>

#include "platform/colour.h"
#include "processing/view_field.h"

namespace processing {

class IMeasurementView {
public:
    virtual ~IMeasurementView() = default;

    // Replaces the whole text and marks the field modified (as an edit control does).
    // A null text or a field outside ViewField does nothing. Callable from any thread;
    // from a worker it runs synchronously in the GUI thread and returns when done.
    virtual void SetFieldText(int field, const char* text) = 0;

    // Plot operations. Callable from the GUI thread and from the reduced protocol's
    // receive thread; the view serialises them.
    virtual void AppendSample(uint8_t value, Colour colour) = 0;
    virtual void AppendPulseTrend(uint8_t value) = 0;
    virtual void ResetPlot() = 0;
    virtual void RedrawPlot() = 0;

    // Any thread, never waits: plays a sound file asynchronously; a missing file or
    // no audio device plays nothing.
    virtual void PlaySoundAsync(const char* file_name) = 0;
};

}  // namespace processing
