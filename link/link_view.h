// What a device link may do with its view besides showing measurements: read and
// mark the documentation fields, hand packets to the GUI thread and serve the calls
// its receive thread waits on. The monitoring view implements it; tests and headless
// tools use fakes. Qt-free on purpose.
#pragma once

#include "processing/measurement_view.h"

class COximeter;

class ILinkView : public processing::IMeasurementView {
public:
    // GUI thread. Copies at most limit - 1 characters plus NUL; returns the count.
    virtual int GetFieldText(int field, char* buffer, int limit) = 0;
    virtual bool IsFieldModified(int field) = 0;
    virtual void SetFieldModified(int field, bool modified) = 0;

    // Message 1124 (code, link): posted to the GUI thread, never waits. The view's
    // handler calls link->ProcessPackets() when code is 1.
    virtual void PostPacketMessage(int code, COximeter* link) = 0;

    // GUI thread: runs the synchronous calls that worker threads are waiting on. The
    // link's close loop calls it so that a receive thread caught in SetFieldText
    // finishes and sees its stop request.
    virtual void RunPendingCalls() = 0;
};
