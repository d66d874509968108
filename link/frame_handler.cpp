#include "link/frame_handler.h"

#include "link/oximeter.h"
#include "platform/debug_output.h"

bool LinkFrameHandler::Acknowledge(const uint8_t* ack, int size) {
    error_ = write_ ? write_(ack, static_cast<size_t>(size)) : 0;
    return error_ == 0;
}

void LinkFrameHandler::Frame(bool repeat) { link_.OnRxPacket(repeat); }

void LinkFrameHandler::Log(const char* text) { platform::OutputDebugString(text); }

void LinkFrameHandler::Count(FrameDecoder::Event e) {
    static constexpr LinkStatistics::Counter kCounter[] = {
        LinkStatistics::kFrames, LinkStatistics::kBadChecksums, LinkStatistics::kIncomplete,
        LinkStatistics::kOversize};
    link_.Statistics().Add(kCounter[e]);
}
