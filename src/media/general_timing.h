// The timestamps of the general path: each copied stream's times moved so the file starts at zero
// and mended only where the muxer would refuse them.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <array>
#include <cstdint>
#include <optional>

namespace kelvatta {

// ts + offset; nothing when it leaves the range of timestamps. A missing timestamp stays missing.
std::optional<int64_t> shifted(int64_t ts, int64_t offset);

// ts in time base to; nothing when it does not fit. A missing timestamp stays missing.
std::optional<int64_t> rescaled(int64_t ts, AVRational from, AVRational to);

// The clip's start on the source's timeline in time base to (0 where unknown or out of range, as
// for the streams): its chapters move back by as much, as its streams do.
int64_t startIn(const AVFormatContext* input, AVRational to);

// The timestamps of one copied stream: moved by the same amount as every other stream so the file
// starts at zero, given to the output in its time base, and mended only where the muxer would
// refuse them, the way FFmpeg's stream copy mends them.
class StreamTiming {
public:
    StreamTiming(const AVStream* in, int64_t startTime);

    void setOutput(AVRational timeBase, bool strictDts);
    // Moves the packet's times into the output's time base; false for times out of range.
    bool apply(AVPacket* packet);

private:
    static constexpr int kMaxReorder = 16;

    std::optional<int64_t> dtsFromPts(int64_t pts, int64_t duration);
    bool mendForMuxer(int64_t& pts, int64_t& dts);

    const AVStream* in_;
    int64_t offset_ = 0;
    int delay_ = 0;
    std::array<int64_t, kMaxReorder + 1> ptsBuffer_{};
    AVRational outTb_{1, 1};
    bool strictDts_ = true;
    int64_t lastAudio_ = AV_NOPTS_VALUE;
    int64_t lastDts_ = AV_NOPTS_VALUE;
};

}  // namespace kelvatta
