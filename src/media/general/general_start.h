// Where the general path's timecode tracks start. A Matroska or AVI clip has no timecode counting of
// its own: each video's track counts at the frames per second of its rate, drop-frame where the
// "timecode" item is written with ';' before the frames.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/error.h"

namespace kelvatta {

// The frame number a timecode track counting framesPerSecond holds for value (the item's text), or
// the error, naming source, of a value that counting never shows (see TimecodeCounting::refusal).
ErrorOr<uint32_t> generalStartFrame(uint32_t framesPerSecond, const std::string& value,
                                    const std::filesystem::path& source);

}  // namespace kelvatta
