// Whether a source is for the box path, by its content: an ISO base media or QuickTime file with one
// moov and no fragments, and what the box path reads of it before writing.
#pragma once

#include <optional>
#include <vector>

#include "media/boxes/box_reader.h"
#include "media/boxes/moov_model.h"

namespace kelvatta {

// What the box path reads of a source before writing: its top-level boxes and its parsed moov.
struct BoxContent {
    std::vector<Box> topLevel;
    Movie movie;
};

// Decides by content whether the export takes the box path. Nothing when the source is not for it
// (another container, a fragmented MP4, several moov boxes): the general path takes those. An error
// when it cannot be read, or is an ISO base media / QuickTime file that is damaged (cut short, moov
// missing) or too large to hold its moov in memory; the reason names no file.
ErrorOr<std::optional<BoxContent>> probeBoxContent(ByteSource& source);

}  // namespace kelvatta
