#include "media/sony/rtmd.h"

#include <algorithm>

#include "media/base/media_error.h"
#include "media/sony/sony_texts.h"

namespace kelvatta {

std::optional<RtmdTimecode> readRtmdTimecode(ByteSpan head)
{
    static constexpr uint8_t kSmpteLabel[4] = {0x06, 0x0E, 0x2B, 0x34};
    if (head.size() < kRtmdHeadSize || loadU16(head.data()) != kRtmdHeaderSize ||
        !std::equal(kSmpteLabel, kSmpteLabel + 4, head.begin() + kRtmdHeaderSize))
        return std::nullopt;
    const RtmdTimecode value = rtmdTimecodeIn(head.data() + kRtmdTimecodeAt);
    if (value.time.hours > 23 || value.time.minutes > 59 || value.time.seconds > 59 || value.dropFrame > 1)
        return std::nullopt;
    return value;
}

RtmdTimecode rtmdTimecodeIn(const uint8_t* bytes)
{
    RtmdTimecode value;
    value.time = {bytes[0], bytes[1], bytes[2], bytes[4]};
    value.dropFrame = bytes[3];
    return value;
}

std::array<uint8_t, kRtmdTimecodeSize> rtmdTimecodeBytes(const RtmdTimecode& value)
{
    return {static_cast<uint8_t>(value.time.hours), static_cast<uint8_t>(value.time.minutes),
            static_cast<uint8_t>(value.time.seconds), value.dropFrame, static_cast<uint8_t>(value.time.frames)};
}

ErrorOr<RtmdTimecodes> readRtmdTimecodes(const Movie& movie, const Track& track, ByteSource& source,
                                         const TimecodeCounting& clip,
                                         const std::function<void(const RtmdFrame&)>& each)
{
    const auto eachHead = [&](const std::function<ErrorOr<void>(uint64_t index, uint64_t offset)>& visit) {
        uint64_t index = 0;
        return visitSamples(movie, track, kMaxRtmdSamples, [&](const SampleRange& sample) -> ErrorOr<void> {
            if (sample.size >= kRtmdHeadSize) KV_TRY(visit(index, sample.offset));
            ++index;
            return {};
        });
    };
    RtmdTimecodes out;
    {
        Prefetch ahead(source);
        KV_TRY(eachHead([&](uint64_t, uint64_t offset) -> ErrorOr<void> {
            ahead.add(offset, kRtmdHeadSize);
            ++out.heads;
            return {};
        }));
    }
    // Which counting fits is known at the end (whether any frame number reaches the clip's rate):
    // the values are followed at the clip's rate and at twice it.
    TimecodeCounting counting = clip;
    counting.halfStep = false;
    std::optional<TimecodeRun> once, twice;
    uint32_t maxFrames = 0;
    KV_TRY(eachHead([&](uint64_t index, uint64_t offset) -> ErrorOr<void> {
        uint8_t head[kRtmdHeadSize];
        if (KV_TRY(source.readAt(head, sizeof head, offset)) != sizeof head)
            return damaged(Damage::sampleCut, sony_texts::rtmdSamplePastEnd());
        const auto value = readRtmdTimecode(head);
        if (!value) return {};
        if (!out.first) {
            out.first = value;
            counting.dropFrame = counting.dropFrame || value->dropFrame != 0;
            TimecodeCounting doubled = counting;
            doubled.framesPerSecond *= 2;
            once.emplace(counting, value->dropFrame != 0);
            twice.emplace(doubled, value->dropFrame != 0);
        }
        out.last = value;
        ++out.recognised;
        maxFrames = std::max(maxFrames, value->time.frames);
        once->add(index, {value->time, false});
        twice->add(index, {value->time, false});
        if (each) each({offset, *value});
        return {};
    }));
    if (!out.first) return out;
    const bool doubled = maxFrames >= counting.framesPerSecond;
    if (doubled) counting.framesPerSecond *= 2;
    if (!counting.valid() || maxFrames >= counting.framesPerSecond || !counting.position({out.first->time, false}))
        return out;
    out.counting = counting;
    out.jump = (doubled ? twice : once)->jump();
    return out;
}

}  // namespace kelvatta
