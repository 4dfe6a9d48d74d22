// The box path of the export: ISO base media and QuickTime sources (MP4, MOV, M4V) with one moov and
// no fragments, rewritten box by box with every sample byte copied untouched.
#pragma once

#include <optional>
#include <vector>

#include "media/box_reader.h"
#include "media/export_job.h"
#include "media/moov_model.h"

namespace kelvatta {

// What the box path reads of a source before writing: its top-level boxes and its parsed moov.
struct BoxContent {
    std::vector<Box> topLevel;
    Movie movie;
};

// Decides by content whether the export takes the box path. Nothing when the source is not for it
// (another container, a fragmented MP4, several moov boxes): the general path takes those. An error
// when it cannot be read, or is an ISO base media / QuickTime file that is damaged (cut short, moov
// missing) or too large to hold its moov in memory; the reason names no file.
ErrorOr<std::optional<BoxContent>> probeBoxContent(ByteSource& source);

// probeBoxContent on the clip; errors name it.
ErrorOr<std::optional<BoxContent>> probeBoxSource(const LockedClip& clip);

// Says in a line each timecode of clip left as it was because this program does not understand how
// it is written: rtmd timecodes (rtmdKept; control is told too), start timecodes in its metadata.
void reportLeftAlone(const std::filesystem::path& clip, bool rtmdKept, const std::vector<std::string>& timecodes,
                     ExportControl& control);

// Writes job.output from the clip, whose content was probed. Leaves nothing at job.output on
// failure or cancellation.
ErrorOr<void> exportBoxFile(const ExportJob& job, ExportControl& control, LockedClip& clip, BoxContent content);

}  // namespace kelvatta
