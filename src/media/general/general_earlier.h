// A save-as run of the general path finds a file at its output's name: whether it is the clip's
// result, which the box path proves against its plan and this path, whose muxer's moov is known only
// once every packet is written, proves by the clip's own reading (see plan/earlier_result.h).
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <filesystem>
#include <vector>

#include "media/base/export_job.h"
#include "media/general/general_source.h"
#include "platform/error.h"

namespace kelvatta {

// Whether the regular file at path is the clip's result on the general path, at the cost of the
// copy's boxes and a few MiB of each file: a movie whose every place reads the start asked for, laid
// out as the muxer lays it out (ftyp, free, mdat, then moov: nothing added or moved since); the
// source's carried streams (streams) as its tracks in order, then its timecode tracks and the
// chapters' track, each as long within half a second; each with the codec, the codec's parameters
// and the tags the path gives it; the movie's tags and chapters those the path writes from the
// clip's, and no other; and each stream's first and last MiB of data, as the clip's demuxer reads it,
// byte for byte in the copy's samples (but SubRip text, which the copy holds as timed text). Reads the
// source's packets: the export writes nothing after it. False where nothing is at path; the refusal
// (notEarlierResult) where something else is; a read error as an error.
ErrorOr<bool> keepGeneralEarlierResult(const ExportJob& job, const ExportControl& control,
                                       const std::filesystem::path& path, Source& source,
                                       const std::vector<int>& streams);

}  // namespace kelvatta
