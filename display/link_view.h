// What a device link may do with its view. The monitoring view implements it; tests
// and headless tools use fakes. Qt-free on purpose.
#pragma once

#include <cstdint>

#include "display/colour.h"
#include "display/view_field.h"

class COximeter;

class ILinkView {
public:
    virtual ~ILinkView() = default;

    // Replaces the whole text and marks the field modified (as an edit control does).
    // A null text or a field outside ViewField does nothing. Callable from any thread;
    // from a worker it runs synchronously in the GUI thread and returns when done.
    virtual void SetFieldText(int field, const char* text) = 0;

    // GUI thread. Copies at most limit - 1 characters plus NUL; returns the count.
    virtual int GetFieldText(int field, char* buffer, int limit) = 0;
    virtual bool IsFieldModified(int field) = 0;
    virtual void SetFieldModified(int field, bool modified) = 0;

    // Plot operations. Callable from the GUI thread and from the reduced protocol's
    // receive thread; the view serialises them.
    virtual void AppendSample(uint8_t value, Colour colour) = 0;
    virtual void AppendPulseTrend(uint8_t value) = 0;
    virtual void ResetPlot() = 0;
    virtual void RedrawPlot() = 0;

    // Message 1124 (code, link): posted to the GUI thread, never waits. The view's
    // handler calls link->ProcessPackets() when code is 1.
    virtual void PostPacketMessage(int code, COximeter* link) = 0;

    // GUI thread: runs the synchronous calls that worker threads are waiting on. The
    // link's close loop calls it so that a receive thread caught in SetFieldText
    // finishes and sees its stop request.
    virtual void RunPendingCalls() = 0;

    // Any thread, never waits: plays a sound file asynchronously; a missing file or
    // no audio device plays nothing.
    virtual void PlaySoundAsync(const char* file_name) = 0;
};
