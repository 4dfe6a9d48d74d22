// A save-as run finds a file at its output's name: the copy an earlier run made of the same clip
// is kept (a card processed again after more was shot), anything else is refused as before, never
// written over, with what differs (CopyDifference). A copy is kept only where it is proved this
// clip's result, by each path in its own way: the box path's below, the general path's in
// general/general_earlier.h.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "media/base/copy_difference.h"
#include "media/base/export_job.h"
#include "media/base/media_error.h"
#include "media/boxes/box_probe.h"
#include "media/files/locked_clip.h"
#include "media/plan/moov_rewrite.h"
#include "platform/fd.h"

namespace kelvatta {

// A regular file at the output's name, open for reading, with the status it was opened with and
// what the box reader makes of it.
struct FileAtOutput {
    Fd fd;
    struct stat status {};
    BoxContent content;
};

// What a path does with what is at the output's name (in a real folder where job.realOutputFolder
// says so): false where nothing is (the export writes its output there; a folder that is not one is
// left to the output's creation to refuse); true where prove finds nothing of the result missing in
// the regular file there, and the file is still the one read under its name, which the export then
// keeps; else the refusal (notEarlierResult) naming what differs: not a regular file, no movie, or
// what prove finds. Reads only; a read error is an error.
ErrorOr<bool> keepEarlierResult(const ExportJob& job, const std::filesystem::path& output,
                                const std::function<ErrorOr<FoundDifference>(const FileAtOutput&)>& prove);

// Whether reading the file at the output failed for what it holds (the export's own errors: no movie
// this program reads) rather than for a failed read.
template <typename T>
bool notReadAsMovie(const ErrorOr<T>& read)
{
    return read.isError() && read.error().domain == kExportErrorDomain;
}

// Whether a regular file at the output's name is the clip's result on the box path, where the plan
// says byte for byte what the result holds: the head (ftyp, the camera's boxes, moov with every
// track's tables and sample descriptions, the metadata items, the camera's XML) and the free boxes'
// headers read back as planned, the file is as long, every block holding a re-based timecode holds
// the clip's bytes with the plan's patches over them, and each track's first and last chunk and one
// chunk per 256 MiB of its data hold the clip's bytes at both ends (64 KiB each). False where
// nothing is at the name; the refusal where something else is; a read error as an error.
ErrorOr<bool> keepBoxEarlierResult(const ExportJob& job, const LockedClip& clip, const OutputPlan& plan);

}  // namespace kelvatta
