// The camera's XML beside a clip, <clip's name without extension>M01.XML (C0001.MP4 beside
// C0001M01.XML, in PRIVATE/M4ROOT/CLIP on a Sony card). Final Cut Pro takes a card's start timecode
// from it, so its LtcChangeTable is re-based like the XML inside the clip, by the same text edit.
#pragma once

#include <filesystem>
#include <optional>

#include "media/timecode.h"
#include "platform/error.h"

namespace kelvatta {

// The clip's sidecar (a regular file; a link is not followed), nothing when it has none.
ErrorOr<std::optional<std::filesystem::path>> findSidecar(const std::filesystem::path& clip);

// Writes the sidecar re-based to start at 00:00:00:00: over itself (no destination), through
// "temp_" + its name flushed and renamed over it, or as a new file at destination (save as). Keeps
// its owner, permission bits and times. Returns the path written, nothing when there was nothing to
// write (a table this program does not understand, or one already re-based in place). A failure
// leaves the sidecar as it was and nothing partial beside it.
ErrorOr<std::optional<std::filesystem::path>> writeRebasedSidecar(
    const std::filesystem::path& sidecar, const std::optional<std::filesystem::path>& destination,
    const Timecode& start = Timecode{});

// After a clip's original has been given back (--restore): its sidecar counted from where the clip's
// own XML says it starts again, in place. Returns the path written, nothing when there was nothing to
// do (no sidecar, no XML in the clip, or the two already agree).
ErrorOr<std::optional<std::filesystem::path>> restoreSidecar(const std::filesystem::path& clip);

}  // namespace kelvatta
