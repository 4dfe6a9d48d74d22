#include "media/sony/rtmd.h"

#include <algorithm>

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

}  // namespace kelvatta
