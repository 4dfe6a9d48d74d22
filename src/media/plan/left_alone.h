// The lines that name what of a clip a rewrite leaves as it was written, because this program does
// not understand how it is written.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "media/base/export_job.h"
#include "media/boxes/start_timecodes.h"

namespace kelvatta {

// Says in a line each timecode of clip left as it was because this program does not understand how
// it is written: rtmd timecodes (rtmdKept; control is told too), start timecodes in its metadata.
void reportLeftAlone(const std::filesystem::path& clip, bool rtmdKept, const std::vector<UnreadTimecode>& timecodes,
                     ExportControl& control);

}  // namespace kelvatta
