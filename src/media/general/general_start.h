// Where the general path's timecode tracks start. A Matroska or AVI clip has no timecode counting of
// its own: each video's track counts at the frames per second of its rate, drop-frame where the start
// is asked with ';' before the frames.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "media/base/metadata_item.h"
#include "platform/error.h"

namespace kelvatta {

// The frame number a timecode track counting framesPerSecond holds for start, or the error, naming
// source, of a start that counting never shows (see TimecodeCounting::refusal).
ErrorOr<uint32_t> generalStartFrame(uint32_t framesPerSecond, const StartTimecode& start,
                                    const std::filesystem::path& source);

// The items as the general path writes them: the "timecode" item as asked.
std::vector<MetadataItem> generalItems(const std::vector<MetadataItem>& items);

}  // namespace kelvatta
