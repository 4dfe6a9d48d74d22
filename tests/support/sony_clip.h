// Sony camera structures added to an ffmpeg clip, as the tests' own writer makes them (never the
// program's code): the XAVC ftyp, the profile uuid box, per-frame rtmd samples carrying the camera's
// timecode, the NonRealTimeMeta XML with its LtcChangeTable (top-level after moov, as cameras write
// it, or in moov/meta), and the same XML as the sidecar text.
#pragma once

#include <array>
#include <string>

#include "support/box_tree.h"

namespace kelvatta::test {

// How the camera counted its timecode, and where it started.
struct SonyTimecode {
    unsigned fps = 30;        // tcFps: 24, 25 or 30 (30 also for 29.97)
    bool dropFrame = false;   // 29.97 drop-frame numbering
    bool halfStep = false;    // 50p/59.94p counted at 25/30, the second frame of each pair marked
    std::array<unsigned, 4> start = {16, 56, 7, 0};  // hh, mm, ss, ff of the first frame
};

// The size of each rtmd sample the fixture writes unless told (older cameras'; an ILME-FX3 writes 11,264).
inline constexpr size_t kFixtureRtmdSampleSize = 1024;

enum class XmlPlace { none, topLevel, inMoov };

struct SonyStyle {
    bool profileUuid = true;          // top-level uuid box after ftyp
    XmlPlace xml = XmlPlace::topLevel;
    bool rtmdTrack = true;            // a timed-metadata track (sample entry rtmd) with its own mdat
    bool secondAvc1 = true;           // a second avc1 sample description used by the later chunks
    bool co64 = false;                // every stco written as co64
    size_t rtmdSampleSize = kFixtureRtmdSampleSize;
    SonyTimecode timecode;
};


// Rewrites file (made by ffmpeg: one mdat) with those structures, moving chunk offsets where boxes
// moved. One rtmd sample per video frame: a 28-byte header with the frame's timecode (binary hh, mm,
// ss, drop, ff at 13..17) and the lens set of camera values, patterned by frame number.
Bytes addSonyStructures(const Bytes& file, const SonyStyle& style);
// The same on a file's top-level boxes (parseFile, or parseFileHeaders for a large one).
std::vector<Node> addSonyStructures(std::vector<Node> top, const SonyStyle& style);

// The NonRealTimeMeta XML of a clip of `frames` frames: an LtcChangeTable from the start to the last
// frame, and the camera's model and creation date.
std::string sonyXml(const SonyTimecode& timecode, unsigned frames);

// The rtmd samples of such a clip, one after another.
Bytes sonyRtmdSamples(const SonyTimecode& timecode, unsigned frames, size_t sampleSize = kFixtureRtmdSampleSize);

// The timecode of frame n (hh, mm, ss, ff) as the camera counts it, as its rtmd sample holds it
// (every frame counted: 0..49 at 50p), and as the XML packs it ("ffssmmhh" in BCD hex with the
// drop-frame bit and the pair mark).
std::array<unsigned, 4> sonyFrameTimecode(const SonyTimecode& timecode, unsigned n);
std::array<unsigned, 4> sonyRtmdTimecode(const SonyTimecode& timecode, unsigned n);
std::string sonyPackedValue(const SonyTimecode& timecode, unsigned n);

}  // namespace kelvatta::test
