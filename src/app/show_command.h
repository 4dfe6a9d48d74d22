// kelvatta --show PATH...: every timecode place of each clip among the paths (folders walked as for a
// run), read only, as one block of lines per clip on standard output.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "media/survey/timecode_survey.h"

namespace kelvatta {

// The lines of one clip's block: the clip, its rate and counting, each place with its first (and
// last) value, what was found and not understood, and whether the places agree.
std::vector<std::string> showLines(const std::filesystem::path& clip, const TimecodeSurvey& survey);

// Shows every clip among urls (absolute, folders ending in a separator); returns the exit status: 0,
// or 1 when a file could not be read or none was found, 2 when a folder named cannot be read.
int runShow(const std::vector<std::filesystem::path>& urls);

}  // namespace kelvatta
