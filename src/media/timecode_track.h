// The timecode a clip starts at, and the QuickTime timecode (tmcd) track that carries it. Editing
// programs take a clip's start timecode from such a track.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "media/bytes.h"

namespace kelvatta {

// "HH:MM:SS:FF" (or with ';' before the frames, as drop-frame timecode is written).
struct Timecode {
    uint32_t hours = 0, minutes = 0, seconds = 0, frames = 0;

    static std::optional<Timecode> parse(std::string_view text);
    // The frame number at framesPerSecond (the counting a tmcd sample holds).
    uint64_t frameNumber(uint32_t framesPerSecond) const;
};

// The frame number a re-based sample holds: the first sample of a track becomes `target` and each
// later one keeps its distance to the first. Counting wraps at 24 hours when the track says so
// (flag 2 and a known frame rate), otherwise at 2^32 like the field itself.
uint32_t rebaseFrame(uint32_t value, uint32_t first, uint64_t target, uint32_t tmcdFlags, uint32_t framesPerSecond);

// What a new timecode track is made from: the video track it describes and where its one sample lies.
struct TimecodeTrackParams {
    uint32_t trackId = 0;
    uint64_t movieDuration = 0;   // tkhd duration of the video track, in the movie's timescale
    uint32_t mediaTimescale = 0;  // the video track's
    uint64_t mediaDuration = 0;   // the video track's, in mediaTimescale
    uint32_t frameDuration = 0;   // the video track's constant sample duration
    uint16_t language = 0;
    uint32_t sampleOffset = 0;    // file offset of the 4-byte sample
};

// Frames per second for a tmcd sample entry (rounded), or nothing when the rate does not fit its
// 8-bit field.
std::optional<uint8_t> timecodeFrameRate(uint32_t timescale, uint32_t frameDuration);

// A whole `trak` box: tkhd, mdia { mdhd, hdlr tmcd, minf { gmhd { gmin, tmcd { tcmi } }, dinf, stbl } },
// one tmcd sample entry (non-drop-frame counting) and one sample spanning the video track.
// frames must come from timecodeFrameRate().
Bytes buildTimecodeTrak(const TimecodeTrackParams& params, uint8_t frames);

// `tref` holding one `tmcd` reference to trackId.
Bytes buildTimecodeReference(uint32_t trackId);

}  // namespace kelvatta
