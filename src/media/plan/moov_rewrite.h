// The plan of a box-path output: the new head (ftyp, the camera's kept boxes, moov, the camera's XML),
// where every source mdat goes, and the few bytes written over the copied data. Pure computation
// over the parsed movie and the source's top level; the export carries it out.
//
// Output order: ftyp, the kept small boxes, moov, the camera's XML meta, [an mdat holding the new
// timecode sample], free padding, then every source mdat (and large kept box) in source order, each
// copied whole (header included) at an offset congruent to its source offset modulo 4096, with a
// free box filling each gap, so a copy-on-write file system can share the data blocks instead of
// copying them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "media/boxes/box_reader.h"
#include "media/base/metadata_item.h"
#include "media/base/not_in_place.h"
#include "media/boxes/moov_model.h"
#include "media/boxes/start_timecodes.h"
#include "media/boxes/timecode_track.h"
#include "media/files/data_copy.h"

namespace kelvatta {

// A source mdat box and where its copy starts in the output.
struct DataPlacement {
    Box source;
    uint64_t outputOffset = 0;
};

// Where the payload bytes of each mdat go: placements in file order, as layOut makes them. A kept box
// that is not an mdat holds no samples: an offset into it is an error.
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

// A few bytes written over the copied data: a re-based timecode in a sample of the source's tmcd or
// rtmd track (the source itself is never written). Small, as a clip has one per frame.
inline constexpr size_t kMaxPatchSize = 8;

struct Patch {
    static constexpr uint32_t kNoTrack = UINT32_MAX;

    uint64_t offset = 0;
    uint8_t size = 0;
    uint32_t track = kNoTrack;  // the index into Movie::tracks of the track whose sample it lies in
    std::array<uint8_t, kMaxPatchSize> bytes{};
    std::array<uint8_t, kMaxPatchSize> original{};  // what the source holds there

    ByteSpan span() const { return ByteSpan(bytes.data(), size); }
    ByteSpan originalSpan() const { return ByteSpan(original.data(), size); }
};

struct OutputPlan {
    std::vector<OutputWrite> writes;  // the head at 0, then the free boxes' headers
    std::vector<DataPlacement> data;  // copied after the writes
    std::vector<Patch> patches;       // written over the copied data afterwards, in file order
    uint64_t fileSize = 0;
    uint64_t dataBytes = 0;  // bytes of all copies
    uint64_t moovOffset = 0;
    uint64_t moovSize = 0;
    std::optional<Timecode> timecode;                // what the timecode tracks start at, when an item sets it
    std::string startText;                           // then the "timecode" item's text, in the clip's notation
    TimecodeCounting counting;                       // how the clip counts timecode (the start given in it)
    bool rtmdKept = false;                           // rtmd timecodes left as the camera wrote them (not recognised)
    std::vector<UnreadTimecode> timecodesLeftAlone;  // start timecodes in metadata not understood, for a line
    bool readsStart = false;                         // every place of the source reads the start already
};

// What of the source the plan is made from.
struct SourceMovie {
    const Movie& movie;                // parsed from the source's moov
    const std::vector<Box>& topLevel;  // the source's top-level boxes
    ByteSource& file;                  // read for the kept boxes and the timecode samples
};

// Plans the output. items are the metadata items: they go into a QuickTime-style moov/meta, and the
// "timecode" item also sets where every timecode of the clip starts: the source's tmcd tracks, the
// timecode of each rtmd sample whose header is recognised, and the camera's XML are re-based to it
// (each keeping its distance to its own first value), or a tmcd track is added for the first video
// track (with tref from that track and mvhd's next track ID raised).
//
// Chunk offsets are moved to the new data positions; a stco whose offsets no longer fit 32 bits
// becomes co64, which grows moov and moves the data again, so the layout is iterated until moov's
// size and the tables' widths agree. A sample that does not lie whole in one mdat's payload is an
// error, and so is a patch that would write over a sample of another track.
ErrorOr<OutputPlan> planOutput(const SourceMovie& source, const std::vector<MetadataItem>& items);

// A rewrite in place: every byte of the clip stays where it is. A new moov (the same tracks at the same
// offsets, with the metadata item and the timecode track) and the timecode sample it adds are
// appended after its end; the re-based timecodes are patches over its own samples and camera XML.
struct InPlacePlan {
    Box oldMoov;                 // the clip's moov, which is switched off (typed free) at the end
    uint64_t appendAt = 0;       // where appended starts
    Bytes appended;              // [free padding][mdat: new timecode sample][new moov, typed free]
    uint64_t newMoovOffset = 0;  // 4096-aligned, so its type field lies within one sector
    uint64_t newMoovSize = 0;
    std::vector<Patch> patches;                      // over the clip's own bytes, in file order
    std::vector<Box> mdats;                          // every box holding media data once the plan is carried out
    bool rtmdKept = false;                           // rtmd timecodes left as the camera wrote them (not recognised)
    std::vector<UnreadTimecode> timecodesLeftAlone;  // start timecodes in metadata not understood, for a line
    // Every place of the clip reads the start already: nothing is to be done (and nothing else of
    // the plan is made).
    bool readsStart = false;
};

// The plan for the clip, with the appended part starting at appendAt; or why its layout does not
// allow one (media data after moov, other boxes after it, the camera XML inside moov ...). A clip
// that reads the start already is planned as such whatever its layout.
ErrorOr<std::variant<InPlacePlan, NotInPlace>> planInPlace(const SourceMovie& source,
                                                           const std::vector<MetadataItem>& items, uint64_t appendAt);

// The output's ftyp unless the source's is kept: major brand mp42, minor version 0, compatible mp42
// and isom.
Bytes buildFtyp();

}  // namespace kelvatta
