// Reading an export's output back before it is reported complete: the file must hold what was
// planned, its moov must parse, every chunk offset must lie inside its media data, and its timecode
// tracks must start where the plan says.
#pragma once

#include "media/boxes/box_reader.h"
#include "media/plan/moov_rewrite.h"

namespace kelvatta {

// The reason is given without a file name; the export names the output. The plan is taken: once its
// head reads back as planned, the moov in it is parsed where it lies rather than read a second time.
ErrorOr<void> checkOutput(ByteSource& output, OutputPlan plan);

// Whether file holds bytes at offset, read back a piece at a time (a moov is not held twice).
ErrorOr<bool> readsBackAs(ByteSource& file, uint64_t offset, ByteSpan bytes);

}  // namespace kelvatta
