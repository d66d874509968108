// MLLP, the framing HL7 version 2 travels in over TCP: <VT> message <FS><CR>. Pure
// code over bytes, for both ends (the gateway, and the tests' engine). Qt-free.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace hl7 {

inline constexpr char kMllpStart = '\x0b';
inline constexpr char kMllpEnd = '\x1c';
inline constexpr char kMllpEndCr = '\x0d';

// Appends message in its frame.
void AppendMllpFrame(std::string& out, std::string_view message);

// Takes bytes as they arrive and hands out whole messages. Bytes outside a frame are
// skipped (and counted); a frame larger than the limit is dropped whole, so a peer
// that never ends a frame cannot grow memory without end.
class MllpDecoder {
public:
    explicit MllpDecoder(size_t max_message = 1 << 20) : max_(max_message) {}

    // Feeds bytes; then Next() until it returns false.
    void Feed(const char* data, size_t size);
    // The next whole message (without its frame) into *message.
    bool Next(std::string* message);

    size_t Skipped() const { return skipped_; }    // bytes outside any frame
    size_t Oversize() const { return oversize_; }  // frames dropped at the limit
    // True while a frame has begun and not ended (a connection closed now cut it).
    bool InFrame() const { return in_frame_; }
    void Reset();

private:
    size_t max_;
    std::string frame_;              // the frame being read
    std::deque<std::string> ready_;  // whole messages not yet taken
    bool in_frame_ = false;
    bool after_end_ = false;  // an FS ended the last frame: its CR may follow
    bool dropping_ = false;   // inside an oversized frame, discarding until its end
    size_t skipped_ = 0;
    size_t oversize_ = 0;
};

}  // namespace hl7
