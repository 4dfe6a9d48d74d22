// Sony's real-time metadata (`rtmd`) samples: one per video frame, holding lens, exposure and gyro
// data and the frame's timecode. A sample starts with a header whose first two bytes give its
// length (28), followed by MXF acquisition-metadata sets (each a SMPTE label 06 0E 2B 34 ..., a BER
// length and local-set items). The header holds the timecode at bytes 13..17 in binary: hours,
// minutes, seconds, a drop-frame byte, frames (counting every frame: 0..49 at 50p). FFmpeg and
// MediaInfo read it there; no set repeats it. Only those bytes are ever rewritten.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "media/base/byte_source.h"
#include "media/base/bytes.h"
#include "media/boxes/moov_model.h"
#include "media/counting/timecode.h"

namespace kelvatta {

inline constexpr uint32_t kRtmdSampleEntry = fourcc("rtmd");
inline constexpr size_t kRtmdHeaderSize = 28;
// What is read of each sample to recognise it: the header and the start of the first set's label.
inline constexpr size_t kRtmdHeadSize = kRtmdHeaderSize + 4;
inline constexpr size_t kRtmdTimecodeAt = 13;
inline constexpr size_t kRtmdTimecodeSize = 5;
// rtmd samples are read one header at a time; more than a day of 60p is not a clip.
inline constexpr size_t kMaxRtmdSamples = 24u * 3600 * 60;

struct RtmdTimecode {
    Timecode time;
    uint8_t dropFrame = 0;  // as the camera wrote it (0 also in drop-frame clips, on some models)
};

// The timecode of a sample whose first bytes are head, nothing when its header is not one this
// program recognises.
std::optional<RtmdTimecode> readRtmdTimecode(ByteSpan head);

// The 5 bytes that hold value at kRtmdTimecodeAt.
std::array<uint8_t, kRtmdTimecodeSize> rtmdTimecodeBytes(const RtmdTimecode& value);
// The value those 5 bytes hold, unchecked: of a sample readRtmdTimecode recognised.
RtmdTimecode rtmdTimecodeIn(const uint8_t* bytes);

// A sample whose header was recognised: where it lies and the timecode it holds.
struct RtmdFrame {
    uint64_t offset = 0;
    RtmdTimecode value;
};

// What the timecodes of one rtmd track say, every sample read.
struct RtmdTimecodes {
    uint64_t heads = 0;                       // samples long enough to hold a header
    uint64_t recognised = 0;                  // of those, the ones whose header this program recognises
    std::optional<RtmdTimecode> first, last;  // of the recognised ones
    // How they count: every frame, at the clip's rate or twice it (half-step clips number each frame),
    // drop-frame where the clip or the first sample says so. Nothing when they fit no such counting.
    std::optional<TimecodeCounting> counting;
    // Under that counting, the first sample that does not read the first's value plus its distance
    // from it in samples (every sample counted, recognised or not).
    std::optional<TimecodeJump> jump;
};

// Reads the timecode of every sample of an rtmd track, each recognised one also given to each in
// turn. A header per frame, spread over the whole clip: all are asked of the disk at once, then
// read in order. clip is how the clip counts (clipCounting).
ErrorOr<RtmdTimecodes> readRtmdTimecodes(const Movie& movie, const Track& track, ByteSource& source,
                                         const TimecodeCounting& clip,
                                         const std::function<void(const RtmdFrame&)>& each = {});

}  // namespace kelvatta
