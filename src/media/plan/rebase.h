// Re-basing every timecode a clip holds, as patches over its bytes: its tmcd and rtmd samples, the
// start timecodes of its top-level XMP, and the timecode track to add where it has none. Used by both
// plans (moov_rewrite.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "media/boxes/moov_model.h"
#include "media/boxes/timecode_track.h"
#include "media/plan/moov_rewrite.h"
#include "media/plan/movie_metadata.h"
#include "media/sony/top_level.h"

namespace kelvatta {

// The new timecode track, when one is added.
struct NewTimecodeTrack {
    size_t videoTrack = 0;  // index into Movie::tracks: gets the tref
    uint32_t trackId = 0;
    uint32_t nextTrackId = 0;  // mvhd's new value
    TimecodeRate rate;
    uint32_t flags = 0;
    uint32_t firstFrame = 0;
};

// Every timecode of the clip re-based to start: the patches over its tmcd and rtmd samples, and the
// timecode track to add when it has none.
struct Rebased {
    std::vector<Patch> patches;
    std::optional<NewTimecodeTrack> added;
    bool rtmdKept = false;      // rtmd timecodes left as the camera wrote them
    bool recounted = false;     // a timecode track's description gets the frames its samples count at
    TimecodeCounting counting;  // how the clip counts (see clipCounting)
};

// A patch of bytes over original at sourceOffset, in the sample of track (an index into Movie::tracks).
Patch makePatch(uint64_t sourceOffset, ByteSpan bytes, ByteSpan original, uint32_t track = Patch::kNoTrack);

// The rate the first video track with samples plays at, for its timecode.
std::optional<TimecodeRate> videoTimecodeRate(const Movie& movie);
// How the clip counts its timecode: as its camera XML says, else as its timecode track does, else at
// its video's rate without drop-frame.
TimecodeCounting clipCounting(const Movie& movie, const TopLevelPlan& top);

// Every timecode of the clip re-based to start; an error where the clip's counting never shows it.
ErrorOr<Rebased> rebaseTimecodes(const SourceMovie& source, const TopLevelPlan& top, const StartTimecode& start);

// Every sample must lie whole within one mdat's payload of dataBoxes, and no patch may touch a sample
// of a track other than its own.
ErrorOr<void> checkSamples(const Movie& movie, const std::vector<Box>& dataBoxes, const std::vector<Patch>& patches);

// The start timecodes in the movie's metadata that were found and not understood.
std::vector<UnreadTimecode> leftAlone(const TopLevelPlan& top, const MovieMetadata& meta);

// Whether every place of the clip reads start already, so that a rewrite would change no value: no
// timecode track to add or to describe anew, no patch writing bytes other than those the clip holds, its camera XML
// understood and where it stays, the start timecodes in its metadata as rebased, none left alone,
// and the movie's QuickTime meta holding the items as given.
bool readsStart(const TopLevelPlan& top, const MovieMetadata& meta, const Rebased& rebased);

// A text edit of equal length as patches over the source: one for each run of bytes that changes.
void addTextPatches(const TextEdit& edit, std::vector<Patch>& patches);

}  // namespace kelvatta
