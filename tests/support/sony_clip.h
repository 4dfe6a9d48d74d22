// Sony camera structures added to an ffmpeg clip, as the tests' own writer makes them (never the
// program's code): the XAVC ftyp, the profile uuid box, per-frame rtmd samples carrying the camera's
// timecode, and the NonRealTimeMeta XML with its LtcChangeTable (top-level after moov, as cameras
// write it, or in moov/meta), which is also the sidecar's text.
#pragma once

#include <array>
#include <string>

#include "support/box_tree.h"

namespace kelvatta::test {

// How the camera counted its timecode, and where it started.
struct SonyTimecode {
    unsigned fps = 30;       // tcFps: 24, 25 or 30 (30 also for 29.97)
    bool dropFrame = false;  // 29.97 drop-frame numbering
    bool halfStep = false;   // 50p/59.94p counted at 25/30, the second frame of each pair marked
    std::array<unsigned, 4> start = {16, 56, 7, 0};  // hh, mm, ss, ff of the first frame
};

enum class XmlPlace { none, topLevel, inMoov };

// The size of each rtmd sample unless told (older cameras'; an ILME-FX3 writes 11,264). The samples
// lie in chunks of three, one after another.
inline constexpr size_t kFixtureRtmdSampleSize = 1024;

struct SonyStyle {
    XmlPlace xml = XmlPlace::topLevel;
    bool co64 = false;  // every stco written as co64
    SonyTimecode timecode{};
    size_t rtmdSampleSize = kFixtureRtmdSampleSize;  // 0: no rtmd track
};

// Rewrites file (made by ffmpeg: one mdat) with those structures, moving chunk offsets where boxes
// moved; the rtmd samples get an mdat of their own. One sample per video frame: a 28-byte header with
// the frame's timecode (binary hh, mm, ss, drop, ff at 13..17) and the lens set of camera values,
// patterned by frame number. The boxes' form takes a file read with parseFileHeaders.
Bytes addSonyStructures(const Bytes& file, const SonyStyle& style);
std::vector<Node> addSonyStructures(std::vector<Node> top, const SonyStyle& style);

// A 1 s 25p clip as a Sony camera writes it (media data, moov, then the camera's XML), its timecode
// from 10:00:00:00 (kSonyClipTimecode), made once: one the program rewrites in place. Empty when
// ffmpeg failed.
inline constexpr SonyTimecode kSonyClipTimecode{25, false, false, {10, 0, 0, 0}};
const Bytes& sonyClip();

// The NonRealTimeMeta XML of a clip of `frames` frames: an LtcChangeTable from the start to the last
// frame, and the camera's model and creation date.
std::string sonyXml(const SonyTimecode& timecode, unsigned frames);

// The rtmd samples of such a clip, one after another.
Bytes sonyRtmdSamples(const SonyTimecode& timecode, unsigned frames, size_t sampleSize = kFixtureRtmdSampleSize);

// A moov of nothing but the rtmd track of such a clip (25 frames per second), its samples lying one
// after another from the start of a file (as sonyRtmdSamples gives them): to read them from memory.
Bytes sonyRtmdMovie(unsigned frames, size_t sampleSize = kFixtureRtmdSampleSize);

}  // namespace kelvatta::test
