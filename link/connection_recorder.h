// What a link tells whoever keeps a record of its connections: each open, the bytes it
// read and answered, its losses, returns and silences. The link owns one recorder and
// calls it from its receive thread; the recorder itself lives above the link, which
// knows it only through this interface. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// What a new connection is.
struct ConnectionStart {
    std::string port;  // "COM1", "description#serial"
    int protocol = 1;
    std::string device;  // what the port was opened as
    std::string line;    // "57600 8N2"
};

// This base records nothing: a link made when nobody records has one of these.
class ConnectionRecorder {
public:
    virtual ~ConnectionRecorder() = default;

    // A new connection. Before the receive thread starts. False when nothing records it.
    virtual bool Begin(const ConnectionStart&) { return false; }
    // The connection is closed (after its receive thread ended).
    virtual void End() {}
    virtual bool Active() const { return false; }
    // An open of the port failed: nothing records until one works.
    virtual void NotOpened() {}

    // The receive thread. now_us: platform::MonotonicMicroseconds() when it was read.
    // note: what became of its frames that were not simply queued (HandoffNote), recorded
    // just before it.
    virtual void Received(uint64_t /*now_us*/, const uint8_t* /*data*/, size_t /*size*/,
                          const uint8_t* /*note*/ = nullptr, size_t /*note_size*/ = 0) {}
    virtual void Sent(const uint8_t* /*data*/, size_t /*size*/) {}  // at the last chunk's time
    virtual void Lost(const std::string& /*why*/) {}
    virtual void Back(const std::string& /*how*/) {}
    virtual void NoData() {}
    // Any thread: a documentation text (field 0 operator, 1 serial, 2 sensor, 3 comment).
    virtual void Documentation(int /*field*/, const std::string& /*text*/) {}
    // Any thread: what the window noted at now_us (platform::MonotonicMicroseconds()): an
    // alarm's start, end, acknowledgement or audio pause, its alarm settings (also kept
    // for every later file and connection), a mark. text: the record's (sessions'
    // session_events.h makes it).
    enum class Note { kAlarm, kAlarmSettings, kMark };
    virtual void Noted(Note /*what*/, uint64_t /*now_us*/, const std::string& /*text*/) {}

    // What the recording pane shows ("REC off" when nothing records, "REC: port not
    // open" when it would but the port did not open); any thread.
    virtual std::string StatusText() const { return "REC off"; }
    // The file being written ("" when none).
    virtual std::string Path() const { return ""; }
};

// Links opened after this record through what the factory makes (null: nothing records).
// Any thread.
using ConnectionRecorderFactory = std::unique_ptr<ConnectionRecorder> (*)();
void SetConnectionRecorderFactory(ConnectionRecorderFactory factory);
// The factory's recorder, or the base one that records nothing.
std::unique_ptr<ConnectionRecorder> MakeConnectionRecorder();
