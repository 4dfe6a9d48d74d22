// What becomes of a movie's own metadata, the udta and meta children of moov, when it is rewritten:
// all of it is kept (where and when the clip was shot, the camera's identity, maker boxes, XMP, a
// title), but for the camera's XML, written at the top level instead, and the QuickTime mdta meta,
// in which the export's items are set (one is added at the end of moov where the movie has none).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "media/base/metadata_item.h"
#include "media/boxes/moov_model.h"
#include "media/counting/timecode.h"
#include "media/sony/top_level.h"

namespace kelvatta {

struct MovieMetadata {
    // By a moov child's offset in moov: the bytes written in its place; empty: it is left out.
    // Children not listed are written as they are.
    std::map<uint64_t, Bytes> rewritten;
    Bytes added;                                     // a meta written at the end of moov
    std::vector<UnreadTimecode> timecodesLeftAlone;  // start timecodes found but not understood, for a line
    bool userDataRebased = false;                    // a start timecode in the user data changes
    bool itemsHeld = false;                          // the movie's QuickTime meta holds every item as given
};

// With start, the start timecodes the user data holds as text (QuickTime's ©TIM, an XMP packet in
// XMP_) are re-based to it in their own layout, or named where they cannot be.
ErrorOr<MovieMetadata> planMovieMetadata(const Movie& movie, const TopLevelPlan& top,
                                         const std::vector<MetadataItem>& items, const std::optional<Timecode>& start);

}  // namespace kelvatta
