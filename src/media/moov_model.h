// What the export needs to know of a movie box: its header, and per track the identity, timing,
// sample descriptions and where the chunks are. Parsed from untrusted bytes: every table's entry
// count is checked against the bytes of its box before anything is allocated.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "media/box_reader.h"
#include "media/bytes.h"
#include "platform/error.h"

namespace kelvatta {

// moov is held in memory; a larger one is refused with a clear error (a camera clip's is a few MiB).
inline constexpr uint64_t kMaxMoovSize = 512ull << 20;
// A timecode track holds one sample, or one per discontinuity; more than this is not one.
inline constexpr size_t kMaxTimecodeSamples = 1u << 16;

// The flag of a data reference (dref entry) whose data lies in the movie's own file.
inline constexpr uint32_t kDataReferenceSelfContained = 1;

// Flags of a `tmcd` sample entry.
inline constexpr uint32_t kTimecodeDropFrame = 1;
inline constexpr uint32_t kTimecodeWrapsAt24Hours = 2;
inline constexpr uint32_t kTimecodeNegativeAllowed = 4;
inline constexpr uint32_t kTimecodeCounter = 8;

// The fields of a `tmcd` sample entry.
struct TimecodeEntry {
    uint32_t flags = 0;  // kTimecodeDropFrame, kTimecodeWrapsAt24Hours, ...
    uint32_t timescale = 0;
    uint32_t frameDuration = 0;
    uint8_t frames = 0;  // per second, rounded
};

struct ChunkTable {
    std::optional<Box> box;         // the track's stco or co64; none in a track without samples
    std::vector<uint64_t> offsets;  // absolute file offsets of the chunks
    bool is64() const { return box && box->type == fourcc("co64"); }
};

// A track's creation and modification times (seconds since 1904), as its headers give them.
struct TrackDates {
    uint64_t created = 0;
    uint64_t modified = 0;
};

struct Track {
    Box trak;  // boxes are located within Movie::moov
    uint32_t trackId = 0;
    uint64_t duration = 0;  // tkhd, in the movie's timescale
    TrackDates trackDates;  // tkhd
    TrackDates mediaDates;  // mdhd
    uint32_t handler = 0;   // mdia/hdlr handler type: vide, soun, tmcd, meta, ...
    uint32_t mediaTimescale = 0;
    uint64_t mediaDuration = 0;
    uint16_t language = 0;
    uint32_t sampleEntryType = 0;           // of the first sample description
    std::optional<TimecodeEntry> timecode;  // when the first sample description is tmcd
    uint64_t sampleCount = 0;               // from stts
    uint32_t constantDelta = 0;             // the one sample duration of stts, 0 when there are several
    uint32_t commonDelta = 0;               // the sample duration most samples have, 0 when none has most
    uint64_t sampleDuration = 0;            // all samples' durations together (saturating)
    ChunkTable chunks;
    std::optional<Box> stsc;
    std::optional<Box> stsz;
    std::optional<Box> tref;
    std::vector<uint32_t> timecodeRefs;  // tref/tmcd track IDs

    bool isVideo() const;
    // A tmcd track with at least one sample.
    bool isTimecode() const;
};

struct Movie {
    Bytes moov;  // the whole box, as read from the source
    Box box;     // moov itself within moov
    Box mvhd;
    uint32_t nextTrackId = 0;
    size_t nextTrackIdAt = 0;  // where mvhd's next_track_ID lies within moov
    std::vector<Track> tracks;
    std::vector<Box> metas;  // moov/meta boxes
};

// Parses a whole moov box. A fragmented movie (mvex) is refused: the box path does not carry fragments.
ErrorOr<Movie> parseMovie(Bytes moov);

struct SampleRange {
    uint64_t offset = 0;
    uint32_t size = 0;
};

// Where each sample of the track lies in the file (from stsc, stsz and the chunk offsets), given to
// visit in order. More than maxSamples is refused.
ErrorOr<void> visitSamples(const Movie& movie, const Track& track, size_t maxSamples,
                           const std::function<ErrorOr<void>(const SampleRange&)>& visit);
// The same as a list, for tracks that hold few samples (timecode tracks).
ErrorOr<std::vector<SampleRange>> locateSamples(const Movie& movie, const Track& track, size_t maxSamples);

// A chunk and the bytes of all its samples together.
struct ChunkRange {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Each chunk of the track that holds samples, in order, with its samples' bytes summed (checked):
// O(chunks) for a track of one sample size, O(samples) otherwise, whatever the sample count claims.
ErrorOr<void> visitChunks(const Movie& movie, const Track& track,
                          const std::function<ErrorOr<void>(const ChunkRange&)>& visit);

}  // namespace kelvatta
