// What the export needs to know of a movie box: its header, and per track the identity, timing,
// sample descriptions and where the chunks are. Parsed from untrusted bytes: every table's entry
// count is checked against the bytes of its box before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <vector>

#include "media/boxes/box_reader.h"
#include "media/base/bytes.h"
#include "media/counting/timecode.h"
#include "platform/error.h"

namespace kelvatta {

// A source's moov is held in memory; a larger one is refused with a clear error (a camera clip's is a
// few MiB; the tables of a day's recording at 60p take some tens).
inline constexpr uint64_t kMaxMoovSize = 128ull << 20;
// A timecode track holds one sample, or one per discontinuity; more than this is not one.
inline constexpr size_t kMaxTimecodeSamples = 1u << 16;

// The flag of a data reference (dref entry) whose data lies in the movie's own file.
inline constexpr uint32_t kDataReferenceSelfContained = 1;

// Flags of a `tmcd` sample entry.
inline constexpr uint32_t kTimecodeDropFrame = 1;
inline constexpr uint32_t kTimecodeWrapsAt24Hours = 2;
inline constexpr uint32_t kTimecodeNegativeAllowed = 4;
inline constexpr uint32_t kTimecodeCounter = 8;

// A timecode's rate as a tmcd sample entry gives it: timescale / frameDuration frames per second,
// counted at `frames` (rounded) per second.
struct TimecodeRate {
    uint32_t timescale = 0;
    uint32_t frameDuration = 0;
    uint8_t frames = 0;
};

// The fields of a `tmcd` sample entry.
struct TimecodeEntry {
    uint32_t flags = 0;  // kTimecodeDropFrame, kTimecodeWrapsAt24Hours, ...
    TimecodeRate rate;
    uint64_t framesAt = 0;  // where its number of frames lies within the moov

    // The frames a second its samples count: its number of frames, unless that is its rate rounded
    // down instead of to the nearest (GoPro writes 29 for 30000/1001). Readers part there: FFmpeg
    // (and MLT through it) counts such an entry at the rate rounded, MediaInfo and exiftool at the
    // number as written. A frame count stands for the nominal rate, 30 for 29.97, so this is the
    // rounded rate, and a rewrite writes it into the entry, after which every reader counts alike.
    uint8_t countedFrames() const;
    // How its samples count: at countedFrames, drop-frame numbers left out where its flag says so.
    TimecodeCounting counting() const { return {countedFrames(), (flags & kTimecodeDropFrame) != 0, false}; }
};

// The absolute file offsets of a track's chunks, read from its stco or co64 within Movie::moov as they
// are asked for: a table takes most of a long recording's moov, and a copy of it as 64-bit values
// would take up to twice its bytes again.
class ChunkOffsets {
public:
    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = uint64_t;
        using difference_type = std::ptrdiff_t;
        using reference = uint64_t;
        using pointer = void;

        Iterator() = default;
        Iterator(const ChunkOffsets* table, size_t index) : table_(table), index_(index) {}
        uint64_t operator*() const { return (*table_)[index_]; }
        Iterator& operator++()
        {
            ++index_;
            return *this;
        }
        Iterator operator++(int)
        {
            Iterator before = *this;
            ++index_;
            return before;
        }
        friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }

    private:
        const ChunkOffsets* table_ = nullptr;
        size_t index_ = 0;
    };

    ChunkOffsets() = default;
    // entries: exactly the table's entries, 8 bytes each when wide, else 4.
    ChunkOffsets(ByteSpan entries, bool wide) : entries_(entries), wide_(wide) {}

    size_t size() const { return entries_.size() / (wide_ ? 8 : 4); }
    bool empty() const { return entries_.empty(); }
    uint64_t operator[](size_t i) const { return wide_ ? loadU64(&entries_[8 * i]) : loadU32(&entries_[4 * i]); }
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, size()}; }

private:
    ByteSpan entries_;
    bool wide_ = false;
};

struct ChunkTable {
    std::optional<Box> box;  // the track's stco or co64; none in a track without samples
    ChunkOffsets offsets;    // a view of its entries within Movie::moov
    bool is64() const { return box && box->type == fourcc("co64"); }
};

// A track's creation and modification times (seconds since 1904), as its headers give them.
struct TrackDates {
    uint64_t created = 0;
    uint64_t modified = 0;
};

// What a track's boxes and chunk offsets locate or view lies in its Movie's moov.
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
    std::optional<Box> stts;
    std::optional<Box> stsc;
    std::optional<Box> stsz;
    std::optional<Box> tref;
    std::vector<uint32_t> timecodeRefs;  // tref/tmcd track IDs

    bool isVideo() const;
    // A tmcd track with at least one sample.
    bool isTimecode() const;
};

struct Movie {
    // The tracks view moov's bytes: a move keeps them where they are (a vector's storage moves with
    // it), a copy would leave the copy viewing the original's. None is made, nor would a moov be
    // copied lightly.
    Movie() = default;
    Movie(Movie&&) = default;
    Movie& operator=(Movie&&) = default;
    Movie(const Movie&) = delete;
    Movie& operator=(const Movie&) = delete;

    Bytes moov;  // the whole box, as read from the source
    Box box;     // moov itself within moov
    Box mvhd;
    uint32_t nextTrackId = 0;
    size_t nextTrackIdAt = 0;  // where mvhd's next_track_ID lies within moov
    std::vector<Track> tracks;
    std::vector<Box> metas;  // moov/meta boxes
};

// Parses a whole moov box. A fragmented movie (mvex) is refused: the box path does not carry fragments.
// Its size is not limited here: a source's moov is refused before it is read (kMaxMoovSize), and one
// the program wrote may be larger than the source's.
ErrorOr<Movie> parseMovie(Bytes moov);
// The same for the moov at [offset, offset + size) of bytes, which are taken and cut down to it, so
// that no copy of the moov is made (the head of an output as it was written back).
ErrorOr<Movie> parseMovieWithin(Bytes bytes, uint64_t offset, uint64_t size);

struct SampleRange {
    uint64_t offset = 0;
    uint32_t size = 0;
    uint64_t time = 0;  // when it starts, in the track's media timescale (from stts; saturating)
};

// Where each sample of the track lies in the file (from stsc, stsz and the chunk offsets) and when it
// starts (stts), given to visit in order. More than maxSamples is refused.
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
