// The writing of the general path: the source's packets copied into the muxer, then the muxed
// movie's timecode tracks given the rate the video's frames showed.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <filesystem>
#include <vector>

#include "media/base/export_job.h"
#include "media/boxes/timecode_track.h"
#include "media/files/output_file.h"
#include "media/general/general_source.h"
#include "media/general/general_tags.h"
#include "platform/error.h"

namespace kelvatta {

// What was written, for the check of the result.
struct Remuxed {
    std::vector<int64_t> packetsWritten;      // by output stream
    std::vector<TimecodeRate> timecodeRates;  // of the timecode tracks, one per video stream
    uint64_t outputSize = 0;
};

// Writes the copy of source's streams (their indices, as carriedStreams gives them) to output, as
// path names it, with format's muxer: the packets (SubRip cues as timed text), the chapters, the
// source's tags and job.metadata (the source's tags where tags says, as iTunes-style items only with
// the mp4 muxer, else as QuickTime metadata keys; the job's items always as keys); then sets the
// rate each timecode track counts at: that of its video's frames' steps, or where they cannot tell
// (a single frame), the one the video declares.
ErrorOr<Remuxed> writeRemux(const ExportJob& job, ExportControl& control, Source& source, std::vector<int> streams,
                            const std::filesystem::path& path, const AVOutputFormat* format, TagPlace tags,
                            OutputFile& output);

}  // namespace kelvatta
