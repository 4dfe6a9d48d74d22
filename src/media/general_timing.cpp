#include "media/general_timing.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>

#include "platform/checked.h"

namespace kelvatta {
namespace {

// AV_TIME_BASE_Q, which is a C compound literal.
constexpr AVRational kMicroseconds{1, AV_TIME_BASE};

}  // namespace

std::optional<int64_t> shifted(int64_t ts, int64_t offset)
{
    if (ts == AV_NOPTS_VALUE) return ts;
    auto r = checkedAdd(ts, offset);
    if (!r || *r == AV_NOPTS_VALUE) return std::nullopt;
    return r;
}

std::optional<int64_t> rescaled(int64_t ts, AVRational from, AVRational to)
{
    if (ts == AV_NOPTS_VALUE) return ts;
    const int64_t r = av_rescale_q_rnd(ts, from, to, static_cast<AVRounding>(AV_ROUND_NEAR_INF));
    if (r == AV_NOPTS_VALUE) return std::nullopt;  // av_rescale's overflow value
    return r;
}

int64_t startIn(const AVFormatContext* input, AVRational to)
{
    const auto start = rescaled(input->start_time, kMicroseconds, to);
    return start && *start != AV_NOPTS_VALUE ? *start : 0;
}

// ---------------------------------------------------------------------------------------------------
// StreamTiming

StreamTiming::StreamTiming(const AVStream* in, int64_t startTime) : in_(in)
{
    if (auto start = rescaled(startTime, kMicroseconds, in->time_base); start && *start != AV_NOPTS_VALUE)
        offset_ = -*start;
    delay_ = std::clamp(in->codecpar->video_delay, 0, kMaxReorder);
    ptsBuffer_.fill(AV_NOPTS_VALUE);
}

void StreamTiming::setOutput(AVRational timeBase, bool strictDts)
{
    outTb_ = timeBase;
    strictDts_ = strictDts;
}

bool StreamTiming::apply(AVPacket* packet)
{
    auto pts = shifted(packet->pts, offset_);
    auto dts = shifted(packet->dts, offset_);
    if (!pts || !dts || packet->duration < 0) return false;
    if (*dts == AV_NOPTS_VALUE && *pts != AV_NOPTS_VALUE) {
        dts = delay_ > 0 ? dtsFromPts(*pts, packet->duration) : pts;
        if (!dts) return false;
    }
    // Containers that store decoding times only (AVI).
    if (*pts == AV_NOPTS_VALUE) pts = dts;

    const AVRational inTb = in_->time_base;
    auto outPts = rescaled(*pts, inTb, outTb_);
    auto outDts = rescaled(*dts, inTb, outTb_);
    auto duration = rescaled(packet->duration, inTb, outTb_);
    if (!outPts || !outDts || !duration) return false;
    const AVCodecParameters* par = in_->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO && *dts != AV_NOPTS_VALUE && par->sample_rate > 0) {
        // Audio frames keep their exact sample counts instead of the container's rounded times.
        int frame = av_get_audio_frame_duration2(const_cast<AVCodecParameters*>(par), packet->size);
        if (frame <= 0) frame = par->frame_size;
        outDts = av_rescale_delta(inTb, *dts, AVRational{1, par->sample_rate}, frame, &lastAudio_, outTb_);
        outPts = outDts;
    }
    if (!mendForMuxer(*outPts, *outDts)) return false;
    packet->pts = *outPts;
    packet->dts = *outDts;
    packet->duration = *duration;
    return true;
}

// A decoding time for a packet that has only its presentation time, from the stream's
// reordering delay (Matroska stores no decoding times).
std::optional<int64_t> StreamTiming::dtsFromPts(int64_t pts, int64_t duration)
{
    ptsBuffer_[0] = pts;
    for (int i = 1; i <= delay_ && ptsBuffer_[static_cast<size_t>(i)] == AV_NOPTS_VALUE; ++i) {
        auto step = checkedMul<int64_t>(i - delay_ - 1, duration);
        auto value = step ? checkedAdd(pts, *step) : std::nullopt;
        if (!value) return std::nullopt;
        ptsBuffer_[static_cast<size_t>(i)] = *value;
    }
    for (size_t i = 0; i < static_cast<size_t>(delay_) && ptsBuffer_[i] > ptsBuffer_[i + 1]; ++i)
        std::swap(ptsBuffer_[i], ptsBuffer_[i + 1]);
    return ptsBuffer_[0];
}

bool StreamTiming::mendForMuxer(int64_t& pts, int64_t& dts)
{
    const bool haveLast = lastDts_ != AV_NOPTS_VALUE;
    if (haveLast && lastDts_ == INT64_MAX) return false;
    const int64_t next = haveLast ? lastDts_ + 1 : INT64_MIN;
    if (pts != AV_NOPTS_VALUE && dts != AV_NOPTS_VALUE && dts > pts) {
        std::array<int64_t, 3> guess{pts, dts, next};
        std::sort(guess.begin(), guess.end());
        pts = dts = guess[1];
    }
    if (dts != AV_NOPTS_VALUE && haveLast) {
        const int64_t least = strictDts_ ? next : lastDts_;
        if (dts < least) {
            if (pts >= dts) pts = std::max(pts, least);
            dts = least;
        }
    }
    if (dts != AV_NOPTS_VALUE) lastDts_ = dts;
    return true;
}

}  // namespace kelvatta
