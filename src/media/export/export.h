// The export's way in: a job run on its clip, by the box path or the general path as the clip's
// content says, or rewritten in place.
#pragma once

#include <functional>

#include "media/base/export_job.h"
#include "media/files/locked_clip.h"
#include "platform/error.h"

namespace kelvatta {

// How an export uses its source, which says the lock it holds on it (see locked_clip.h).
ClipUse clipUseOf(const ExportJob& job);
// The source opened and locked for the export: as clipUseOf says, or for writing where a copy is to
// be made of a clip that carries the trace of a rewrite in place (see settleEarlierInPlace).
ErrorOr<LockedClip> lockForExport(const ExportJob& job, const std::function<bool()>& cancelled);

// Writes job.output (or job.mp4Output, see there; control.output() says which) from job.source,
// open and locked as clip (for clipUseOf(job)), which every read goes through. On failure or
// cancellation it returns an error and leaves nothing at the output that it made. Checks
// control.isCancelled() often. In replace mode the finished output is locked with the clip
// (LockedClip::lockReplacement), so that the caller, holding clip, holds both until it has put the
// output in the clip's place.
ErrorOr<void> runExport(const ExportJob& job, ExportControl& control, LockedClip& clip);
// The same, with job.source opened and locked for the export's length only.
ErrorOr<void> runExport(const ExportJob& job, ExportControl& control);

}  // namespace kelvatta
