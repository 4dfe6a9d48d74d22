// The timecode a clip starts at, and the QuickTime timecode (tmcd) track that carries it. Editing
// programs take a clip's start timecode from such a track. QuickTime File Format, "Timecode media":
// the tmcd sample description (flags, time scale, frame duration, number of frames) and its samples.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "media/base/byte_source.h"
#include "media/base/bytes.h"
#include "media/boxes/moov_model.h"
#include "media/counting/timecode.h"

namespace kelvatta {

// The frame number a re-based sample holds: the first sample of a track becomes `target` and each
// later one keeps its distance to the first. Counting wraps at 24 hours when the track says so
// (kTimecodeWrapsAt24Hours and a known frame rate), otherwise at 2^32 like the field itself.
uint32_t rebaseFrame(uint32_t value, uint32_t first, uint64_t target, uint32_t tmcdFlags, uint32_t framesPerSecond);

// One sample of a timecode track as read: where it lies and the frame number it holds.
struct TimecodeSample {
    uint64_t offset = 0;
    uint32_t number = 0;
};

// The samples of a timecode track, and the first whose number is not the first's plus the frames
// since the first sample (its time at the sample entry's rate).
struct TimecodeSamples {
    std::vector<TimecodeSample> samples;
    std::optional<TimecodeJump> jump;
};

// Reads every sample of a timecode track (Track::isTimecode), all asked of the disk at once. A sample
// too short or past the end of the file is the error of a damaged file.
ErrorOr<TimecodeSamples> readTimecodeSamples(const Movie& movie, const Track& track, ByteSource& source);

// What a new timecode track is made from: the video track it describes and where its one sample lies.
struct TimecodeTrackParams {
    uint32_t trackId = 0;
    uint64_t movieDuration = 0;   // tkhd duration of the video track, in the movie's timescale
    uint32_t mediaTimescale = 0;  // the video track's
    uint64_t mediaDuration = 0;   // the video track's, in mediaTimescale
    TimecodeRate rate;
    uint32_t flags = 0;  // kTimecodeDropFrame when the clip counts drop-frame
    uint16_t language = 0;
    uint64_t created = 0, modified = 0;            // the video track's tkhd dates
    uint64_t mediaCreated = 0, mediaModified = 0;  // and its mdhd dates
    uint64_t sampleOffset = 0;                     // file offset of the 4-byte sample (past 4 GiB: a co64 table)
};

// Frames per second for a tmcd sample entry (rounded), or nothing when the rate does not fit its
// 8-bit field.
std::optional<uint8_t> timecodeFrameRate(uint32_t timescale, uint32_t frameDuration);

// The common frame rate (23.976, 24, 25, 29.97 ... 120) nearest fps, if within half a percent of
// it, as timescale and frame duration (24000/1001, 25/1 ...).
std::optional<std::pair<uint32_t, uint32_t>> commonFrameRate(double fps);

// The rate a video track is meant to play at, for its timecode: its frame duration when all frames
// have one, else the duration most frames have or their mean, taken to the nearest common rate
// (23.976, 25, 29.97, 59.94 ...) where one lies within half a percent. Nothing for a track without
// samples or a rate beyond 255 frames per second.
std::optional<TimecodeRate> nominalTimecodeRate(uint32_t mediaTimescale, uint32_t constantDelta, uint32_t commonDelta,
                                                uint64_t sampleCount, uint64_t sampleDuration);

// A whole `trak` box: tkhd, mdia { mdhd, hdlr tmcd, minf { gmhd { gmin, tmcd { tcmi } }, dinf, stbl } },
// one tmcd sample entry and one sample spanning the video track.
Bytes buildTimecodeTrak(const TimecodeTrackParams& params);

// `tref` holding the source's other references (its children other than tmcd, byte for byte), then
// one `tmcd` reference to trackId.
Bytes buildTimecodeReference(uint32_t trackId, ByteSpan otherReferences = {});

}  // namespace kelvatta
