// The sentences of timecode counting: why a clip's counting never shows a start, where a place's
// timecodes stop counting on. Made here only, from the values counting/timecode.h gives.
#pragma once

#include <cstdint>
#include <string>

#include "media/counting/timecode.h"

namespace kelvatta::counting_texts {

// The reason as the refusal gives it, after the start it refuses.
std::string startRefusal(const StartRefusal& refusal);
// The refusal of a start, its reason given.
std::string startRefused(const StartTimecode& start, const StartRefusal& refusal);
// What a jump's frame should read and what it reads.
std::string jumpValues(const TimecodeJump& jump);
// The place (its name as the texts give it) whose timecode stops counting on, and what to run.
std::string timecodeJumped(const std::string& place, const TimecodeJump& jump);

}  // namespace kelvatta::counting_texts
