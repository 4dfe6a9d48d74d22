#include "media/counting/timecode.h"

#include "media/base/media_error.h"
#include "media/counting/counting_texts.h"

namespace kelvatta {
namespace {

constexpr uint64_t kSecondsPerDay = 24 * 3600;

// Frame numbers skipped at the start of each minute but every tenth: 2 at 30, 4 at 60.
uint64_t droppedPerMinute(const TimecodeCounting& c) { return c.dropFrame ? c.framesPerSecond / 15 : 0; }

uint64_t framesPerDay(const TimecodeCounting& c)
{
    const uint64_t minutes = 24 * 60;
    return kSecondsPerDay * c.framesPerSecond - droppedPerMinute(c) * (minutes - minutes / 10);
}

std::optional<uint8_t> fromBcd(uint8_t byte, uint8_t tensMask)
{
    const uint8_t units = byte & 0x0F;
    const uint8_t tens = static_cast<uint8_t>((byte & tensMask) >> 4);
    if (units > 9) return std::nullopt;
    return static_cast<uint8_t>(tens * 10 + units);
}

uint8_t toBcd(uint32_t value) { return static_cast<uint8_t>(((value / 10) << 4) | (value % 10)); }

}  // namespace

bool TimecodeCounting::valid() const
{
    return framesPerSecond > 0 && framesPerSecond <= 255 && (!dropFrame || framesPerSecond % 30 == 0);
}

uint64_t TimecodeCounting::positionsPerDay() const { return framesPerDay(*this) * (halfStep ? 2 : 1); }

std::optional<uint64_t> TimecodeCounting::position(const TimecodeValue& value) const
{
    const Timecode& t = value.time;
    if (!valid() || t.hours > 23 || t.minutes > 59 || t.seconds > 59 || t.frames >= framesPerSecond)
        return std::nullopt;
    if (value.secondField && !halfStep) return std::nullopt;
    const uint64_t drop = droppedPerMinute(*this);
    if (t.seconds == 0 && t.frames < drop && t.minutes % 10 != 0) return std::nullopt;
    const uint64_t minutes = uint64_t(t.hours) * 60 + t.minutes;
    const uint64_t frame = t.frameNumber(framesPerSecond) - drop * (minutes - minutes / 10);
    return halfStep ? frame * 2 + (value.secondField ? 1 : 0) : frame;
}

TimecodeValue TimecodeCounting::valueAt(uint64_t position) const
{
    TimecodeValue value;
    if (!valid()) return value;
    position %= positionsPerDay();
    uint64_t frame = position;
    if (halfStep) {
        value.secondField = position % 2 == 1;
        frame = position / 2;
    }
    // Drop-frame: put the skipped numbers back, then count as if none were skipped.
    if (const uint64_t drop = droppedPerMinute(*this)) {
        const uint64_t perMinute = uint64_t(framesPerSecond) * 60 - drop;
        const uint64_t perTenMinutes = uint64_t(framesPerSecond) * 600 - drop * 9;
        const uint64_t tens = frame / perTenMinutes;
        const uint64_t rest = frame % perTenMinutes;
        frame += drop * 9 * tens + (rest > drop ? drop * ((rest - drop) / perMinute) : 0);
    }
    value.time.frames = static_cast<uint32_t>(frame % framesPerSecond);
    const uint64_t seconds = frame / framesPerSecond;
    value.time.seconds = static_cast<uint32_t>(seconds % 60);
    value.time.minutes = static_cast<uint32_t>(seconds / 60 % 60);
    value.time.hours = static_cast<uint32_t>(seconds / 3600 % 24);
    return value;
}

std::optional<StartRefusal> TimecodeCounting::refusal(const Timecode& start) const
{
    using Kind = StartRefusal::Kind;
    if (position({start, false})) return std::nullopt;
    const auto why = [&](Kind kind, uint32_t lastFrame) {
        return StartRefusal{kind, framesPerSecond, halfStep, lastFrame, start};
    };
    if (dropFrame && framesPerSecond > 0 && framesPerSecond % 30 != 0) return why(Kind::dropFrameAtRate, 0);
    if (!valid()) return why(Kind::rateUnknown, 0);
    if (start.frames >= framesPerSecond) return why(Kind::noSuchFrame, framesPerSecond - 1);
    return why(Kind::droppedNumber, static_cast<uint32_t>(droppedPerMinute(*this) - 1));
}

std::optional<StartRefusal> TimecodeCounting::refusal(const StartTimecode& start) const
{
    if (start.dropFrame && !dropFrame && valid())
        return StartRefusal{StartRefusal::Kind::notDropFrame, framesPerSecond, halfStep, 0, start.time};
    return refusal(start.time);
}

Error startRefused(const Timecode& start, const StartRefusal& why) { return startRefused(StartTimecode{start}, why); }

Error startRefused(const StartTimecode& start, const StartRefusal& why)
{
    return exportError(ExportErrorCode::unsupported, counting_texts::startRefused(start, why), why.kind);
}

std::optional<StartRefusal::Kind> startRefusalOf(const Error& error)
{
    return kindOf<StartRefusal::Kind>(error, ExportErrorCode::unsupported);
}

std::string TimecodeJump::values() const { return counting_texts::jumpValues(*this); }

void TimecodeRun::add(uint64_t frame, const TimecodeValue& value)
{
    if (jump_) return;
    if (!started_) {
        started_ = true;
        firstFrame_ = frame;
        firstPosition_ = counting_.position(value);
        return;
    }
    if (!firstPosition_ || frame < firstFrame_) return;
    // Both terms lie within a day: no overflow.
    const TimecodeValue expected =
        counting_.valueAt(*firstPosition_ + (frame - firstFrame_) % counting_.positionsPerDay());
    if (value != expected) jump_ = TimecodeJump{frame, expected, value, dropFrame_};
}

Error timecodeJumped(const std::string& place, const TimecodeJump& jump)
{
    return damaged(Damage::timecodeJump, counting_texts::timecodeJumped(place, jump));
}

std::optional<TimecodeValue> TimecodeCounting::sameFrame(const TimecodeCounting& from, const TimecodeValue& value) const
{
    const auto perSecond = [](const TimecodeCounting& c) { return uint64_t(c.framesPerSecond) * (c.halfStep ? 2 : 1); };
    const auto at = from.position(value);
    if (at && from.valid() && valid() && from.dropFrame == dropFrame) {
        if (perSecond(from) == perSecond(*this)) return valueAt(*at);
        if (!from.halfStep && !halfStep && perSecond(*this) == 2 * perSecond(from)) return valueAt(*at * 2);
        if (!from.halfStep && !halfStep && perSecond(from) == 2 * perSecond(*this) && *at % 2 == 0)
            return valueAt(*at / 2);
    }
    if (!position(value)) return std::nullopt;
    return value;
}

std::optional<TimecodeRebase> TimecodeRebase::make(const TimecodeCounting& counting, const TimecodeValue& first,
                                                   const TimecodeValue& start)
{
    const auto from = counting.position(first);
    const auto to = counting.position(start);
    if (!from || !to) return std::nullopt;
    return TimecodeRebase(counting, *from, *to);
}

std::optional<TimecodeValue> TimecodeRebase::operator()(const TimecodeValue& value) const
{
    const auto at = counting_.position(value);
    if (!at) return std::nullopt;
    const uint64_t day = counting_.positionsPerDay();
    // Positions lie within one day, so the sum stays far from overflow.
    return counting_.valueAt((*at + day - first_ + start_) % day);
}

std::optional<TimecodeValue> PackedTimecode::unpack(bool halfStep) const
{
    const auto frames = fromBcd(bytes[0], 0x30);
    const auto seconds = fromBcd(bytes[1], 0x70);
    const auto minutes = fromBcd(bytes[2], 0x70);
    const auto hours = fromBcd(bytes[3], 0x30);
    if (!frames || !seconds || !minutes || !hours || *seconds > 59 || *minutes > 59 || *hours > 23) return std::nullopt;
    TimecodeValue value;
    value.time = {*hours, *minutes, *seconds, *frames};
    value.secondField = halfStep && (bytes[1] & 0x80);
    return value;
}

PackedTimecode PackedTimecode::repacked(const TimecodeValue& value, bool halfStep) const
{
    PackedTimecode out;
    out.bytes[0] = static_cast<uint8_t>((bytes[0] & 0xC0) | toBcd(value.time.frames));
    const uint8_t mark = halfStep ? (value.secondField ? 0x80 : 0) : (bytes[1] & 0x80);
    out.bytes[1] = static_cast<uint8_t>(mark | toBcd(value.time.seconds));
    out.bytes[2] = static_cast<uint8_t>((bytes[2] & 0x80) | toBcd(value.time.minutes));
    out.bytes[3] = static_cast<uint8_t>((bytes[3] & 0xC0) | toBcd(value.time.hours));
    return out;
}

}  // namespace kelvatta
