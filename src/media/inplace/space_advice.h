// What to say of a replace that found too little free space beside its clip.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "media/base/start_timecode.h"

namespace kelvatta {

// The advice added to the error of a replace of clip that ran out of space: the room it needs (about
// the clip's size, for the new file written beside it) and the room there is, and, given the start a
// rewrite in place would be asked and where the clip's layout lets it be rewritten so, that --in-place
// needs almost none. Empty where the clip or its file system cannot be read.
std::string spaceAdvice(const std::filesystem::path& clip, const std::optional<StartTimecode>& inPlaceStart);

}  // namespace kelvatta
