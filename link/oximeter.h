// The device link of one monitoring view: connection settings, the serial or USB
// connection, its receive thread and the packet queue into the GUI thread. Qt-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "link/connection_recorder.h"
#include "link/frame_decoder.h"
#include "link/handoff_note.h"
#include "link/link_statistics.h"
#include "link/link_view.h"
#include "link/packet_queue.h"
#include "link/transport/serial_transport.h"
#include "processing/interpretation.h"

namespace processing {
class Measurement;
}

struct LinkConnection;  // the open transport and the receive thread (oximeter.cpp)
namespace transport {
class ITransport;
struct DeviceIdentity;
}  // namespace transport

// Statuses of the link besides 0, platform error codes and D2XX statuses.
inline constexpr int kLinkStatusNoName = -1;          // no port name given
inline constexpr int kLinkStatusSetupFailed = -1001;  // serial set-up failed; never opened
inline constexpr int kLinkStatusNoThread = 17;        // receive thread could not be created
inline constexpr int kLinkStatusNoUsbDevice = -1002;  // no attached USB device matches the name
inline constexpr int kLinkStatusOtherDevice = -1003;  // the port's name leads to another device

inline constexpr int kPortNameSize = 32;  // port name buffer, 31 characters and NUL

// After a lost connection the link tries the port again at this interval; with no
// good frame (protocol 3: record) for kLinkNoDataMs an open link shows "*** No data".
inline constexpr int kLinkRetryMs = 1000;
inline constexpr int kLinkNoDataMs = 3000;

class COximeter {
public:
    // port_name may be null (no port opened). measurement: process-wide state, may be
    // null in tests that do not interpret packets (then ProcessPackets only frees records).
    COximeter(const char* port_name, int protocol, bool heartbeat,
              processing::Measurement* measurement);
    virtual ~COximeter();
    COximeter(const COximeter&) = delete;
    COximeter& operator=(const COximeter&) = delete;

    // Receive thread: queues the decoder's frame (repeat false) or a copy of the
    // newest queued record (repeat true). 0, or -1 when no record could be made.
    virtual int OnRxPacket(bool repeat);
    // GUI thread: drains the queue, interpreting and freeing every record. Returns 0.
    virtual int ProcessPackets();
    virtual int OnCommandAck();  // reserved for host commands; returns 0
    virtual int OnCommandNak();  // reserved for host commands; returns 0

    int OpenPort(const char* name);
    int ClosePort();
    int Reconnect();
    int Disconnect();
    int SetPort(const char* name);
    int SetProtocol(int n);
    int SetHeartbeatSound(bool on);
    int SetTrendChannel(int n);
    int GetPortName(char* buffer /* >= 32 bytes */);
    int AttachView(ILinkView* view);
    int ResetDisplay();
    // "*** No data" and "x" in every value field; the next frame shows every value
    // again. The GUI thread after a silence (and a session review).
    void ShowNoData();
    // first_error as for config::SaveSettings (0 when every write succeeded).
    int SaveSettings(int* first_error = nullptr);
    int LoadDocumentation();
    int ReadComputerName(char* buffer /* 256 bytes */);

    bool SettingsChanged() const { return settings_changed_; }
    // The shell clears the flag once the settings are on disk.
    void ClearSettingsChanged() { settings_changed_ = false; }
    int Protocol() const { return protocol_; }
    bool HeartbeatSound() const { return heartbeat_.load(std::memory_order_relaxed); }
    int TrendChannel() const { return interpretation_.trend_channel; }
    int Status() const { return status_; }
    const char* PortName() const { return port_name_; }

    // Whether a lost connection is tried again once a second (on by default, the
    // configuration's connection/reconnect). Any thread.
    void SetReconnect(bool on) { reconnect_.store(on, std::memory_order_relaxed); }
    bool ReconnectEnabled() const { return reconnect_.load(std::memory_order_relaxed); }
    // True while the device is open and read; false when closed or lost.
    bool Connected() const { return state_.load(std::memory_order_acquire) == kStateConnected; }
    // True once the connection was lost and until it is back or closed.
    bool Lost() const { return state_.load(std::memory_order_acquire) == kStateLost; }
    // The counts since the link was opened; any thread reads them.
    const LinkStatistics& Statistics() const { return statistics_; }
    LinkStatistics& Statistics() { return statistics_; }

    // Receive threads a close left inside a slow USB reopen, still finishing it (any
    // thread; tests wait for 0 before they take the converter library away).
    static int AbandonedThreads();

    // True while a receive thread runs (it may have ended by itself: see ThreadEnded).
    bool HasReceiveThread() const;
    // True once the receive thread has left its loop (stop request or lost connection).
    bool ThreadEnded() const { return thread_exited_.load(std::memory_order_acquire); }
    // Records waiting in the queue (any thread).
    int QueuedCount() const { return queue_.Count(); }
    ILinkView* View() const { return view_.load(std::memory_order_acquire); }
    // The process-wide state this link interprets into (null in some tests); fixed
    // for the link's life, so any thread may read it.
    processing::Measurement* Measurement() const { return measurement_; }

    // Called by ProcessPackets for every dequeued record before it is interpreted
    // (tools and tests that want to see the records); null to remove.
    using RecordObserver = void (*)(void* context, const PacketRecord& record);
    void SetRecordObserver(RecordObserver observer, void* context) {
        observer_ = observer;
        observer_context_ = context;
    }

    // Runs the receive thread of the protocol over a transport the caller made (tests
    // and tools; usb selects the USB reading loop). The link must be closed.
    int OpenTransport(std::unique_ptr<transport::ITransport> transport, bool usb);

    // What records this link's connections (made with the link: MakeConnectionRecorder).
    ConnectionRecorder& Recording() { return *recording_; }
    const ConnectionRecorder& Recording() const { return *recording_; }

    // Receive-thread side, shared with the thread functions (receive_thread.cpp).
    // The tick the next queued records carry: when their bytes were read (tools that
    // feed the decoder set it from their recording).
    void SetReceiveTick(uint32_t tick) {
        receive_tick_ = tick;
        receive_tick_set_ = true;
    }
    bool StopRequested() const { return stop_request_.load(std::memory_order_acquire); }
    FrameDecoder& Decoder() { return decoder_; }
    // What became of the frames of the chunk being decoded that were not simply queued;
    // a replay gives it the recorded note of each chunk before it (HandoffNote).
    HandoffNote& Handoffs() { return handoff_; }
    processing::LinkInterpretation& Interpretation() { return interpretation_; }

private:
    enum State { kStateClosed, kStateConnected, kStateLost };
    // Happenings of the receive thread that the GUI thread shows (ProcessPackets).
    enum Event : uint32_t {
        kEventLost = 1,
        kEventReconnected = 2,
        kEventNoData = 4,
        kEventOtherDevice = 8  // the lost port's name leads to another device now
    };

    int OpenSerial();
    int OpenUsb();
    // Open the named device into c without a word to the view; any thread. 0 or the
    // status. OpenUsbDevice stops before the special characters and the notification.
    // OpenSerialDevice: with expected, a node that turns out to be another device is
    // closed again (kLinkStatusOtherDevice); without, c.identity records what was opened.
    static int OpenSerialDevice(const char* name, int protocol, LinkConnection& c,
                                transport::OpenResult* result,
                                const transport::DeviceIdentity* expected = nullptr);
    static int OpenUsbDevice(const char* name, int protocol, LinkConnection& c, bool* matched);
    int StartThread();
    static void ReadingLoop(COximeter* link, bool framed);
    // One connection's reading; 0 at a stop request, else the failure.
    int ReadUntilFailure(LinkConnection& c, bool framed);
    // Receive thread: the connection is gone; close what is left of it.
    void OnConnectionLost(LinkConnection& c, int error);
    // Closes the transport and the USB device of c (receive thread, after a loss).
    static void ReleaseDevice(LinkConnection& c);
    // Receive thread: once a second until the device is back or a stop; kAbandoned when
    // the link let go of c during a reopen (the link may be gone: touch nothing of it).
    enum Reopen { kReopened, kStopped, kAbandoned };
    Reopen WaitAndReopen(LinkConnection& c);
    void RaiseEvent(Event e);
    void HandleEvents();
    // GUI thread: shows one happening (error and retrying belong to a loss).
    void ShowEvent(uint32_t event, int error, bool retrying);
    void WriteStatistics(const char* port) const;
    // A new file for a connection that is about to be read, with the view's texts.
    void BeginRecording();
    void RecordDocumentation();
    // Receive thread: a chunk was read now (its tick for the records it holds); the
    // time for its recording.
    uint64_t ReadAt();
    void PostRecords();
    // Hands held records on once their frame is up; else the longest the reader may
    // wait before it asks again, in milliseconds, or -1 when none are held.
    int HeldRecordsDueMs();
    void ShowPortText();
    void ShowStatus(const char* text);
    // Why the last open failed, shown now and again to a view attached later (a window
    // opens its link before its view exists).
    void ShowOpenFailure(const char* text);

    bool settings_changed_ = false;
    std::atomic<bool> heartbeat_;
    char port_name_[kPortNameSize] = {};
    int protocol_ = 1;
    int status_ = kLinkStatusSetupFailed;
    char open_failure_[96] = {};  // "" after an open that worked

    std::unique_ptr<LinkConnection> connection_;
    FrameDecoder decoder_;  // receive state: written by the framed thread only
    HandoffNote handoff_;   // receive state as well
    PacketQueue queue_;

    std::atomic<bool> thread_exited_{false};
    std::atomic<bool> stop_request_{false};
    std::atomic<ILinkView*> view_{nullptr};
    std::atomic<bool> reconnect_{true};
    std::atomic<int> state_{kStateClosed};
    std::atomic<uint32_t> events_{0};
    std::atomic<int> lost_error_{0};
    std::atomic<bool> retrying_{false};
    std::atomic<bool> no_data_{false};  // set by the thread, shown by the GUI thread
    LinkStatistics statistics_;

    static std::atomic<int> abandoned_threads_;

    processing::Measurement* measurement_;
    RecordObserver observer_ = nullptr;
    void* observer_context_ = nullptr;
    processing::LinkInterpretation interpretation_;
    std::unique_ptr<ConnectionRecorder> recording_;
    uint32_t receive_tick_ = 0;  // written and read by the receive thread
    bool receive_tick_set_ = false;
    // A live link hands records to its view at most once every kViewFrameUs: each
    // hand-off wakes the GUI thread, and the screen updates no faster anyway. A record
    // held meanwhile goes with a later one, at most two frames late. Receive thread.
    static constexpr uint64_t kViewFrameUs = 35000;
    bool pace_posts_ = false;
    bool post_held_ = false;
    uint64_t last_post_us_ = 0;

    friend void ReceiveThreadFramed(COximeter* link);
    friend void ReceiveThreadReduced(COximeter* link);
};

// Thread entries; they run until a stop request or a connection failure.
void ReceiveThreadFramed(COximeter* link);
void ReceiveThreadReduced(COximeter* link);
