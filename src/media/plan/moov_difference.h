// Where a copy's moov differs from the one a rewrite plans, told as what differs of the copy: the
// first track whose sample tables differ, else the first whose description does, else the movie's
// own boxes (its header, user data, metadata).
#pragma once

#include <optional>

#include "media/base/copy_difference.h"
#include "media/boxes/box_reader.h"

namespace kelvatta {

// planned holds the planned moov box from its first byte; copy holds the copy's moov box at
// copyMoov. Nothing where they differ only in the chunk offsets' values (the same samples laid out
// elsewhere).
ErrorOr<std::optional<CopyDifference>> moovDifference(ByteSpan planned, ByteSpan copy, const Box& copyMoov);

}  // namespace kelvatta
