#include "export/hl7_mllp.h"

namespace hl7 {

void AppendMllpFrame(std::string& out, std::string_view message) {
    out.reserve(out.size() + message.size() + 3);
    out += kMllpStart;
    out.append(message);
    out += kMllpEnd;
    out += kMllpEndCr;
}

void MllpDecoder::Feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (!in_frame_) {
            if (c == kMllpStart) {
                in_frame_ = true;
                dropping_ = false;
                frame_.clear();
            } else if (!(after_end_ && c == kMllpEndCr)) {
                ++skipped_;
            }
            after_end_ = false;
            continue;
        }
        if (c == kMllpEnd) {
            // The CR after FS is the frame's own; a peer that leaves it out still
            // ends the frame here.
            in_frame_ = false;
            after_end_ = true;
            if (!dropping_) ready_.push_back(std::move(frame_));
            frame_ = std::string();
            continue;
        }
        if (c == kMllpStart) {
            // A new frame inside one: the first was cut off; what it held is lost
            // either way, so count it and start again.
            skipped_ += frame_.size();
            frame_.clear();
            dropping_ = false;
            continue;
        }
        if (dropping_) continue;
        if (frame_.size() >= max_) {
            ++oversize_;
            dropping_ = true;
            frame_ = std::string();
            continue;
        }
        frame_ += c;
    }
}

bool MllpDecoder::Next(std::string* message) {
    if (ready_.empty()) return false;
    *message = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

void MllpDecoder::Reset() {
    frame_.clear();
    ready_.clear();
    in_frame_ = false;
    after_end_ = false;
    dropping_ = false;
}

}  // namespace hl7
