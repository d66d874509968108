// The receive threads: one reading loop over the link's transport, with the framed
// or the reduced decoder behind it.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/frame_handler.h"
#include "link/frame_pacer.h"
#include "link/link_connection.h"
#include "link/oximeter.h"
#include "link/reduced_decoder.h"
#include "link/transport/device_identity.h"
#include "link/transport/serial_transport.h"
#include "platform/debug_output.h"
#include "platform/system_info.h"
#include "platform/tick.h"
#include "processing/interpretation.h"

namespace {

constexpr size_t kChunk = 255;

// Line-error counters of the whole run, touched only by receive threads.
struct LineErrorCounter {
    uint32_t bit;
    std::atomic<int> count;
};
LineErrorCounter g_line_errors[] = {
    {transport::kCeBreak, {0}},    {transport::kCeDns, {0}},   {transport::kCeFrame, {0}},
    {transport::kCeIoe, {0}},      {transport::kCeMode, {0}},  {transport::kCeOop, {0}},
    {transport::kCeOverrun, {0}},  {transport::kCePto, {0}},   {transport::kCeRxOver, {0}},
    {transport::kCeRxParity, {0}}, {transport::kCeTxFull, {0}}};

void CountLineErrors(uint32_t bits) {
    int c[11];
    for (int i = 0; i < 11; ++i) {
        if (bits & g_line_errors[i].bit)
            g_line_errors[i].count.fetch_add(1, std::memory_order_relaxed);
        c[i] = g_line_errors[i].count.load(std::memory_order_relaxed);
    }
    platform::DebugPrintf(
        "COM Errors: iCE_BREAK=%i iCE_DNS=%i iCE_FRAME=%i iCE_IOE=%i iCE_MODE=%i iCE_OOP=%i "
        "iCE_OVERRUN=%i iCE_PTO=%i iCE_RXOVER=%i iCE_RXPARITY=%i iCE_TXFULL=%i\n",
        c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10]);
}

}  // namespace

void COximeter::ReadingLoop(COximeter* link, bool framed) {
    LinkConnection& c = *link->connection_;
    for (;;) {
        const int error = link->ReadUntilFailure(c, framed);
        if (error == 0 || link->StopRequested()) break;
        link->OnConnectionLost(c, error);
        if (!link->ReconnectEnabled() || c.port_name[0] == '\0') break;
        const Reopen reopen = link->WaitAndReopen(c);
        if (reopen == kAbandoned) {
            // The link has let go of c and may be gone: close what the attempt opened.
            ReleaseDevice(c);
            delete &c;
            abandoned_threads_.fetch_sub(1, std::memory_order_acq_rel);
            return;
        }
        if (reopen == kStopped) break;
    }
    link->thread_exited_.store(true, std::memory_order_release);
}

std::atomic<int> COximeter::abandoned_threads_{0};

int COximeter::AbandonedThreads() { return abandoned_threads_.load(std::memory_order_acquire); }

int COximeter::ReadUntilFailure(LinkConnection& c, bool framed) {
    transport::ITransport& t = *c.transport;
    int error = 0;
    if (c.usb_transport != nullptr) error = c.usb_transport->Start();

    uint8_t chunk[kChunk + 1];
    // Answers go to the device at once and into the session after the chunk that
    // brought their frames (which is recorded once it is decoded, with its note).
    struct Answers {
        uint8_t bytes[kChunk + 1];
        uint16_t ends[kChunk + 1];
        size_t count = 0;
    } answers;
    LinkFrameHandler handler(*this, [&t, &answers](const uint8_t* ack, size_t size) {
        const int e = t.Write(ack, size);
        const size_t at = answers.count == 0 ? 0 : answers.ends[answers.count - 1];
        if (e == 0 && answers.count <= kChunk && at + size <= sizeof answers.bytes) {
            std::memcpy(answers.bytes + at, ack, size);
            answers.ends[answers.count++] = static_cast<uint16_t>(at + size);
        }
        return e;
    });
    ReducedDecoder reduced;
    processing::ReducedInterpreter interpreter;
    int last_status = -1;  // protocol 3: the status shown last, to show again after "No data"
    const int wait_ms = c.is_usb ? transport::kUsbWaitMs : transport::kSerialWaitMs;
    using Clock = std::chrono::steady_clock;
    Clock::time_point last_good = Clock::now();
    uint64_t good = statistics_.Get(LinkStatistics::kFrames);

    // The longest wait of a pass: no longer than the moment "No data" is due, or
    // held records are.
    pace_posts_ = framed;
    auto wait_left = [&] {
        int wait = wait_ms;
        if (const int held = HeldRecordsDueMs(); held >= 0 && held < wait) wait = held;
        if (!no_data_.load(std::memory_order_relaxed)) {
            auto due = last_good + std::chrono::milliseconds(kLinkNoDataMs) - Clock::now();
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due).count();
            if (left < wait) wait = left > 0 ? static_cast<int>(left) : 0;
        }
        return wait;
    };
    size_t frame_rest = 0;  // bytes the frame being received likely still needs
    // The frame slept for once its length was known: what it still lacks after that
    // sleep is the driver's to hand on, and is waited for as data, not slept for again.
    uint32_t slept_frame = 0;
    bool slept_known = false;
    // A frame whose length is not known yet is slept for as the shortest of the last
    // frames, which suits a driver that hands bytes on as they come. One that hands them
    // on in pieces, later than the line brings them (a pseudo-terminal fed in bursts, a
    // USB bridge's latency timer), leaves that sleep empty, and its next piece brings the
    // length anyway: then such a frame is waited for as data, which wakes once, until a
    // piece comes without the length. The sleep is tried again now and then, since one
    // empty sleep (a device that paused, a busy machine) is no such driver, and waiting
    // for data costs every frame a wake more.
    bool header_as_data = false;
    constexpr uint64_t kSleepAgainFrames = 50;
    uint64_t as_data_since = 0;  // the count of good frames when waiting for data began
    auto waits_as_data = [&] {
        if (header_as_data &&
            statistics_.Get(LinkStatistics::kFrames) - as_data_since >= kSleepAgainFrames)
            header_as_data = false;
        return header_as_data;
    };
    auto wait_as_data = [&] {
        header_as_data = true;
        as_data_since = statistics_.Get(LinkStatistics::kFrames);
    };
    enum class HeaderWait { kNone, kSlept, kAsData };
    // The marks of a device that sends its frames evenly: most of its frames are slept
    // for whole, from when the last seen mark says they begin, and read in one wake.
    FramePacer pacer;

    while (error == 0 && !StopRequested()) {
        // A frame that arrived in part: give the line the time to bring the rest, then
        // read it in one piece rather than waking for every piece on the way.
        transport::WaitResult w = transport::WaitResult::Timeout;
        HeaderWait header_wait = HeaderWait::kNone;
        if (frame_rest > 0) {
            slept_frame = decoder_.frame_start();
            slept_known = decoder_.phase() >= FrameDecoder::kPayload;
            if (slept_known || !waits_as_data()) {
                w = t.WaitForLine(frame_rest, wait_left());
                if (!slept_known) header_wait = HeaderWait::kSlept;
            } else {
                header_wait = HeaderWait::kAsData;
            }
            frame_rest = 0;
        }
        const int wait = wait_left();
        // Between the frames of an even device: through the gap and the next frame.
        bool paced = false;
        if (w == transport::WaitResult::Timeout && framed && pacer.Due() &&
            decoder_.phase() == FrameDecoder::kIdle && !header_as_data) {
            w = t.WaitForLineFrom(pacer.NextMarkUs(), decoder_.ExpectedFrameBytes(), wait);
            paced = w == transport::WaitResult::Data;
        }
        if (w == transport::WaitResult::Timeout) w = t.WaitForData(wait);
        if (w == transport::WaitResult::HangUp || w == transport::WaitResult::Error) {
            error = t.LastError() != 0 ? t.LastError() : EIO;
            break;
        }
        if (w == transport::WaitResult::Wake) continue;  // host commands: none pending
        if (w == transport::WaitResult::Timeout && !c.is_usb && wait == wait_ms)
            platform::OutputDebugString("WAIT_TIMEOUT\n");

        if (const uint32_t bits = t.TakeLineErrors(); bits != 0) {
            statistics_.Add(LinkStatistics::kLineErrors);
            CountLineErrors(bits);
        }
        size_t waiting = 0;
        if ((error = t.BytesWaiting(&waiting)) != 0) break;
        if (paced) pacer.Slept(waiting > 0);
        // Between frames, a wait for data that brought less than a frame's head (its
        // mark, as a rule): the rest of the frame is on the line, so it is slept for before
        // anything is read, as long as the shortest of the last frames took, and the frame
        // is read, decoded, answered and recorded in one piece rather than in three. This
        // is the frame's sleep for its length: one that brings nothing makes the next
        // frames wait for data, as below; a frame longer than that is slept for again
        // once its length is in.
        if (framed && w == transport::WaitResult::Data && header_wait == HeaderWait::kNone &&
            decoder_.phase() == FrameDecoder::kIdle && waiting > 0 &&
            waiting < FrameDecoder::kHeadBytes && !waits_as_data()) {
            const size_t before = waiting;
            if (!paced)
                pacer.MarkSeen(platform::MonotonicMicroseconds(),
                               statistics_.Get(LinkStatistics::kFrames));
            t.WaitForLine(decoder_.ExpectedFrameBytes() - waiting, wait_left());
            if ((error = t.BytesWaiting(&waiting)) != 0) break;
            header_wait = HeaderWait::kSlept;
            if (waiting == before) wait_as_data();
        }
        if (header_wait == HeaderWait::kSlept && waiting == 0) wait_as_data();
        // A serial chunk holds the byte that ended the wait and up to kChunk more.
        size_t limit = !c.is_usb && w == transport::WaitResult::Data ? kChunk + 1 : kChunk;
        while (waiting > 0) {
            size_t got = 0;
            if ((error = t.Read(chunk, waiting < limit ? waiting : limit, &got)) != 0) break;
            limit = kChunk;
            if (got == 0) break;
            statistics_.Add(LinkStatistics::kBytes, got);
            const uint64_t read_us = ReadAt();
            waiting = got < waiting ? waiting - got : 0;
            if (framed) {
                handoff_.BeginChunk();
                answers.count = 0;
                decoder_.Feed(chunk, got, handler);
                recording_->Received(read_us, chunk, got, handoff_.data(), handoff_.size());
                for (size_t i = 0, at = 0; i < answers.count; at = answers.ends[i++])
                    recording_->Sent(answers.bytes + at, answers.ends[i] - at);
                if ((error = handler.Error()) != 0) break;
                if (waiting > 0) platform::OutputDebugString("Extra chunk\n");
                frame_rest = decoder_.ExpectedBytesToFrameEnd();
                if (slept_known && decoder_.frame_start() == slept_frame) frame_rest = 0;
                if (header_wait == HeaderWait::kAsData && frame_rest > 0 &&
                    decoder_.phase() < FrameDecoder::kPayload)
                    header_as_data = false;
            } else {
                recording_->Received(read_us, chunk, got);
                const uint32_t stray = reduced.dropped();
                reduced.Feed(chunk, got, [&](uint8_t code, uint8_t value) {
                    statistics_.Add(LinkStatistics::kFrames);
                    ILinkView* view = View();
                    if (no_data_.load(std::memory_order_relaxed)) {
                        // Data again: the status the device last sent comes back first.
                        no_data_.store(false, std::memory_order_release);
                        if (last_status >= 0)
                            interpreter.OnRecord(ReducedDecoder::kStatus,
                                                 static_cast<uint8_t>(last_status), view, false);
                        else if (view != nullptr)
                            view->SetFieldText(StatusText, "Connected..");
                    }
                    if (code == ReducedDecoder::kStatus) last_status = value;
                    interpreter.OnRecord(code, value, view, HeartbeatSound());
                });
                statistics_.Add(LinkStatistics::kIncomplete, reduced.dropped() - stray);
                break;  // the rest waits for the next pass
            }
        }

        const uint64_t now_good = statistics_.Get(LinkStatistics::kFrames);
        if (now_good != good) {
            good = now_good;
            last_good = Clock::now();
            no_data_.store(false, std::memory_order_release);
        } else if (!no_data_.load(std::memory_order_relaxed) &&
                   Clock::now() - last_good >= std::chrono::milliseconds(kLinkNoDataMs)) {
            // Values shown from now on are shown afresh, not compared with stale ones.
            interpreter = processing::ReducedInterpreter();
            no_data_.store(true, std::memory_order_release);
            recording_->NoData();
            RaiseEvent(kEventNoData);
        }
    }
    pace_posts_ = false;
    if (post_held_) PostRecords();
    return error;
}

void COximeter::OnConnectionLost(LinkConnection& c, int error) {
    state_.store(kStateLost, std::memory_order_release);
    no_data_.store(false, std::memory_order_release);
    lost_error_.store(error, std::memory_order_relaxed);
    retrying_.store(ReconnectEnabled() && c.port_name[0] != '\0', std::memory_order_relaxed);
    platform::DebugPrintf("*** Connection lost (error %i)\n", error);
    recording_->Lost("error " + std::to_string(error) + " (" + std::strerror(error) + ")");
    WriteStatistics(c.port_name);
    RaiseEvent(kEventLost);
    // Without a retry the handles stay for ClosePort, as they were.
    if (retrying_.load(std::memory_order_relaxed)) ReleaseDevice(c);
}

void COximeter::ReleaseDevice(LinkConnection& c) {
    // Under the lock: the GUI thread may still be finishing the opening's settings.
    std::lock_guard<std::mutex> lock(c.mutex);
    c.transport.reset();
    c.usb_transport = nullptr;
    if (c.usb != nullptr) {
        c.library->Close(c.usb);
        c.usb = nullptr;
    }
}

COximeter::Reopen COximeter::WaitAndReopen(LinkConnection& c) {
    bool other_shown = false;  // "leads to another device" is said once per stranger
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(c.mutex);
            c.retry_cv.wait_for(lock, std::chrono::milliseconds(kLinkRetryMs),
                                [this] { return StopRequested(); });
        }
        if (StopRequested()) return kStopped;
        int status;
        if (std::strncmp(c.port_name, "COM", 3) == 0) {
            const std::string path = transport::SerialDevicePath(c.port_name);
            // Away while the mapping is not back or leads to nothing (a link left behind).
            if ((c.mapped && platform::ResolveDosDevice(c.port_name, "").empty()) || path.empty() ||
                ::access(path.c_str(), F_OK) != 0) {
                other_shown = false;
                continue;
            }
            // Another device under the port's name is never opened, not even to look.
            if (!transport::SameDevice(c.identity, transport::IdentityOfPath(path))) {
                if (!other_shown) {
                    platform::DebugPrintf("*** %s leads to another device, waiting..\n",
                                          c.port_name);
                    RaiseEvent(kEventOtherDevice);
                    other_shown = true;
                }
                continue;
            }
            transport::OpenResult r{};
            status = OpenSerialDevice(c.port_name, protocol_, c, &r, &c.identity);
        } else {
            const int protocol = protocol_;
            {
                std::lock_guard<std::mutex> lock(c.mutex);
                if (StopRequested()) return kStopped;
                c.opening = true;  // from here a close may let go of c
            }
            bool matched = false;
            status = OpenUsbDevice(c.port_name, protocol, c, &matched);
            // Not under the lock: a slow control transfer must not hold up a close.
            if (status == 0) status = static_cast<int>(c.library->SetChars(c.usb, 0xFB, 1, 0, 0));
            bool abandoned;
            {
                std::lock_guard<std::mutex> lock(c.mutex);
                c.opening = false;
                abandoned = c.abandoned;
            }
            if (abandoned) return kAbandoned;
        }
        if (status == 0) break;
        ReleaseDevice(c);  // whatever the failed attempt opened
    }
    decoder_.Reset();
    statistics_.Add(LinkStatistics::kReconnects);
    platform::DebugPrintf("Reconnected(%s)\n", c.port_name);
    recording_->Back(std::string("reopened ") + c.port_name);
    state_.store(kStateConnected, std::memory_order_release);
    RaiseEvent(kEventReconnected);
    return kReopened;
}

uint64_t COximeter::ReadAt() {
    // One clock reading for the file's time and the records' tick, so the tick of
    // every record can be told again from the recording.
    const uint64_t now = platform::MonotonicMicroseconds();
    receive_tick_ = platform::TickAt(now);
    receive_tick_set_ = true;
    return now;
}

void ReceiveThreadFramed(COximeter* link) { COximeter::ReadingLoop(link, true); }
void ReceiveThreadReduced(COximeter* link) { COximeter::ReadingLoop(link, false); }
