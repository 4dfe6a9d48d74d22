// The timestamps of the general path: each copied stream's times moved so the file starts at zero
// and mended only where the muxer would refuse them, and the rate a video's new timecode counts at.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

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

// The rate a video says it plays at before any frame is read: the common rate (23.976, 25, 29.97,
// 30 ...) nearest its real frame rate (libavformat's reading of its first timestamps) or else its
// average, or either rounded to whole frames per second. Nothing when neither is known.
std::optional<AVRational> declaredFrameRate(const AVStream* in);

// The rate a video's frames step at, read from their times as they are copied: the common rate
// nearest the step most of its first frames take, or that step's rate rounded to whole frames per
// second where no common rate is near. Dropped frames, gaps and repeated times do not move it, and
// the rounding of the container's clock (Matroska's milliseconds) evens out over the frames that
// take the usual step; it is never the average of the whole stream, which dropped frames lower.
class FrameRateMeter {
public:
    explicit FrameRateMeter(AVRational timeBase) : timeBase_(timeBase) {}

    // A frame's presentation time (its decoding time where it has none), in the time base given.
    void add(int64_t time);
    // Nothing before two frames with distinct times.
    std::optional<AVRational> rate() const;

private:
    // Enough frames to tell 59.94 from 60 through millisecond times (a minute of 60p).
    static constexpr size_t kFrames = 4096;

    AVRational timeBase_;
    std::vector<int64_t> times_;
};

}  // namespace kelvatta
