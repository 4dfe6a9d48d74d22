#include "media/general/general_timing.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cmath>

#include "media/boxes/timecode_track.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

// AV_TIME_BASE_Q, which is a C compound literal.
constexpr AVRational kMicroseconds{1, AV_TIME_BASE};

bool known(AVRational rate) { return rate.num > 0 && rate.den > 0; }

std::optional<AVRational> commonRateNear(double fps)
{
    const auto common = commonFrameRate(fps);
    if (!common) return std::nullopt;
    return AVRational{static_cast<int>(common->first), static_cast<int>(common->second)};
}

// fps rounded to whole frames per second, within what a timecode counts (1 to 255).
std::optional<AVRational> wholeRateNear(double fps)
{
    const double rounded = std::round(fps);
    if (!(rounded >= 1 && rounded <= 255)) return std::nullopt;
    return AVRational{static_cast<int>(rounded), 1};
}

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

// ---------------------------------------------------------------------------------------------------
// Frame rates

std::optional<AVRational> declaredFrameRate(const AVStream* in)
{
    for (AVRational rate : {in->r_frame_rate, in->avg_frame_rate})
        if (known(rate))
            if (auto common = commonRateNear(av_q2d(rate))) return common;
    for (AVRational rate : {in->r_frame_rate, in->avg_frame_rate})
        if (auto whole = known(rate) ? wholeRateNear(av_q2d(rate)) : std::nullopt) return whole;
    return std::nullopt;
}

void FrameRateMeter::add(int64_t time)
{
    if (time == AV_NOPTS_VALUE || times_.size() >= kFrames) return;
    if (times_.capacity() == 0) times_.reserve(kFrames);
    times_.push_back(time);
}

std::optional<AVRational> FrameRateMeter::rate() const
{
    if (!known(timeBase_) || times_.size() < 2) return std::nullopt;
    // Frames come in decoding order: their steps are those of their presentation times, sorted.
    std::vector<int64_t> times = times_;
    std::sort(times.begin(), times.end());
    std::vector<double> steps;
    for (size_t i = 1; i < times.size(); ++i) {
        const auto step = checkedSub(times[i], times[i - 1]);
        if (step && *step > 0) steps.push_back(static_cast<double>(*step));
    }
    if (steps.empty()) return std::nullopt;
    const auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    double step = *middle;
    // Each time is given its frame's number, counted in steps of about the usual length (a dropped
    // frame's gap counts two; a time much closer than a step to the one before is left out), and the
    // step is the slope of the times over those numbers: a clock's rounding and jitter even out over
    // all the frames, not only over the first and the last. Twice, the second time counting in the
    // step the first found.
    for (int pass = 0; pass < 2; ++pass) {
        double n = 0, sumK = 0, sumT = 0, sumKK = 0, sumKT = 0, k = 0;
        int64_t last = times[0];
        for (size_t i = 0; i < times.size(); ++i) {
            if (i > 0) {
                const auto gap = checkedSub(times[i], last);
                const double frames = gap ? std::round(static_cast<double>(*gap) / step) : 0;
                if (!(frames >= 1)) continue;
                k += frames;
                last = times[i];
            }
            const auto since = checkedSub(times[i], times[0]);
            if (!since) return std::nullopt;
            const auto t = static_cast<double>(*since);
            n += 1;
            sumK += k;
            sumT += t;
            sumKK += k * k;
            sumKT += k * t;
        }
        const double spread = n * sumKK - sumK * sumK;
        if (!(spread > 0)) return std::nullopt;
        step = (n * sumKT - sumK * sumT) / spread;
        if (!(step > 0)) return std::nullopt;
    }
    const double fps = 1 / (step * av_q2d(timeBase_));
    if (auto common = commonRateNear(fps)) return common;
    return wholeRateNear(fps);
}

}  // namespace kelvatta
