// The plan of a box-path output: the new ftyp and moov, where every source mdat goes, and the few
// bytes written over the copied data. Pure computation over the parsed movie; the export carries it out.
//
// Output order: ftyp, moov, [an mdat holding the new timecode sample], free padding, then every
// source mdat in source order, each copied whole (header included) at an offset congruent to its
// source offset modulo 4096, with a free box filling each gap, so a copy-on-write file system can
// share the data blocks instead of copying them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "media/box_reader.h"
#include "media/export_session.h"
#include "media/moov_model.h"
#include "media/timecode_track.h"

namespace kelvatta {

inline constexpr uint64_t kCloneAlignment = 4096;

// A source mdat box and where its copy starts in the output.
struct DataPlacement {
    Box source;
    uint64_t outputOffset = 0;
};

// Where the payload bytes of each mdat go: placements in file order, as layOut makes them.
class DataMap {
public:
    explicit DataMap(const std::vector<DataPlacement>& data) : data_(data) {}
    // The new offset of len bytes at offset, which must lie within one mdat's payload.
    ErrorOr<uint64_t> map(uint64_t offset, uint64_t len = 1) const;

private:
    const std::vector<DataPlacement>& data_;
};

// Bytes written at an offset of the output.
struct OutputWrite {
    uint64_t offset = 0;
    Bytes bytes;
};

struct OutputPlan {
    std::vector<OutputWrite> writes;      // ftyp + moov (+ sample) at 0, then the free boxes' headers
    std::vector<DataPlacement> data;      // copied after the writes
    std::vector<OutputWrite> patches;     // written over the copied data afterwards: re-based
                                          // samples of the source's timecode tracks (the source
                                          // itself is never written)
    uint64_t fileSize = 0;
    uint64_t dataBytes = 0;               // bytes of all copies
    uint64_t moovSize = 0;
    std::optional<Timecode> timecode;     // what the timecode tracks start at, when an item sets it
};

// Plans the output for movie (parsed from the source's moov) and the source's top-level mdat boxes.
// source is read only for the samples of existing timecode tracks. items are the metadata items:
// they go into a QuickTime-style moov/meta, and the "timecode" item also sets the start of the
// timecode track (re-basing the source's tmcd tracks, or adding one for the first video track of
// constant frame rate, with tref from that track and mvhd's next track ID raised).
//
// Chunk offsets are moved to the new data positions; a stco whose offsets no longer fit 32 bits
// becomes co64, which grows moov and moves the data again, so the layout is iterated until moov's
// size and the tables' widths agree. A chunk offset that lies in no mdat is an error.
ErrorOr<OutputPlan> planOutput(const Movie& movie, const std::vector<Box>& mdats, ByteSource& source,
                               const std::vector<MetadataItem>& items);

// The output's ftyp: major brand mp42, minor version 0, compatible mp42 and isom.
Bytes buildFtyp();

// The Timecode set by the "timecode" item, nothing without one; an error for an unreadable value.
ErrorOr<std::optional<Timecode>> requestedTimecode(const std::vector<MetadataItem>& items);

}  // namespace kelvatta
