// Reading an export's output back before it is reported complete: the file must hold what was
// planned, its moov must parse, every chunk offset must lie inside its media data, and its timecode
// tracks must start where the plan says.
#pragma once

#include "media/box_reader.h"
#include "media/moov_rewrite.h"

namespace kelvatta {

// The reason is given without a file name; the export names the output.
ErrorOr<void> checkOutput(ByteSource& output, const OutputPlan& plan);

}  // namespace kelvatta
