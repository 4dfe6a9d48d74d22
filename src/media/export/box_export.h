// The box path of the export: ISO base media and QuickTime sources (MP4, MOV, M4V) with one moov and
// no fragments, rewritten box by box with every sample byte copied untouched.
#pragma once

#include <optional>
#include <vector>

#include "media/base/export_job.h"
#include "media/boxes/box_probe.h"
#include "media/files/locked_clip.h"

namespace kelvatta {

// probeBoxContent on the clip; errors name it.
ErrorOr<std::optional<BoxContent>> probeBoxSource(const LockedClip& clip);

// Writes job.output from the clip, whose content was probed. Leaves nothing at job.output on
// failure or cancellation.
ErrorOr<void> exportBoxFile(const ExportJob& job, ExportControl& control, LockedClip& clip, BoxContent content);

}  // namespace kelvatta
