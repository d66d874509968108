// The receive threads: one reading loop over the link's transport, with the framed
// or the reduced decoder behind it.
#include <cerrno>
#include <cstdio>

#include "link/frame_handler.h"
#include "link/link_connection.h"
#include "link/oximeter.h"
#include "link/reduced_decoder.h"
#include "platform/debug_output.h"
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
    transport::ITransport& t = *c.transport;
    int error = 0;
    if (c.usb_transport != nullptr) error = c.usb_transport->Start();

    uint8_t chunk[kChunk + 1];
    LinkFrameHandler handler(*link,
                             [&t](const uint8_t* ack, size_t size) { return t.Write(ack, size); });
    ReducedDecoder reduced;
    processing::ReducedInterpreter interpreter;
    const int wait_ms = c.is_usb ? transport::kUsbWaitMs : transport::kSerialWaitMs;

    while (error == 0 && !link->StopRequested()) {
        transport::WaitResult w = t.WaitForData(wait_ms);
        if (w == transport::WaitResult::HangUp || w == transport::WaitResult::Error) {
            error = t.LastError() != 0 ? t.LastError() : EIO;
            break;
        }
        if (w == transport::WaitResult::Wake) continue;  // host commands: none pending
        if (w == transport::WaitResult::Timeout && !c.is_usb)
            platform::OutputDebugString("WAIT_TIMEOUT\n");

        if (!c.is_usb) {
            uint32_t bits = t.TakeLineErrors();
            if (bits != 0) CountLineErrors(bits);
        }
        size_t waiting = 0;
        if ((error = t.BytesWaiting(&waiting)) != 0) break;
        // A serial chunk holds the byte that ended the wait and up to kChunk more.
        size_t limit = !c.is_usb && w == transport::WaitResult::Data ? kChunk + 1 : kChunk;
        while (waiting > 0) {
            size_t got = 0;
            if ((error = t.Read(chunk, waiting < limit ? waiting : limit, &got)) != 0) break;
            limit = kChunk;
            if (got == 0) break;
            waiting = got < waiting ? waiting - got : 0;
            if (framed) {
                link->decoder_.Feed(chunk, got, handler);
                if ((error = handler.Error()) != 0) break;
                if (waiting > 0) platform::OutputDebugString("Extra chunk\n");
            } else {
                reduced.Feed(chunk, got, [&](uint8_t code, uint8_t value) {
                    interpreter.OnRecord(code, value, link->View(), link->HeartbeatSound());
                });
                break;  // the rest waits for the next pass
            }
        }
    }
    link->EndOfThread(error);
}

void COximeter::EndOfThread(int error) {
    if (error != 0 && !StopRequested()) {
        // Unplugged or failing device: say so instead of leaving the last values as if live.
        char text[64];
        std::snprintf(text, sizeof text, "*** Connection lost (error %i)", error);
        platform::DebugPrintf("%s\n", text);
        if (ILinkView* view = View()) view->SetFieldText(StatusText, text);
    }
    thread_exited_.store(true, std::memory_order_release);
}

void ReceiveThreadFramed(COximeter* link) { COximeter::ReadingLoop(link, true); }
void ReceiveThreadReduced(COximeter* link) { COximeter::ReadingLoop(link, false); }
