// The box path of the export: ISO base media and QuickTime sources (MP4, MOV, M4V) with one moov and
// no fragments, rewritten box by box with every sample byte copied untouched.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <vector>

#include "media/box_reader.h"
#include "media/export_job.h"
#include "media/moov_model.h"
#include "platform/fd.h"

namespace kelvatta {

// A source the box path takes: open, its top-level boxes found and its moov parsed.
struct BoxSource {
    Fd fd;
    struct stat stat {};
    std::vector<Box> topLevel;
    Movie movie;
};

// Looks at the source's content. Nothing when it is not a file for the box path (another container,
// a fragmented MP4, several moov boxes): the general path takes those. An error when the source
// cannot be opened or read, or is an ISO base media / QuickTime file that is damaged (cut short,
// moov missing) or too large to hold its moov in memory.
ErrorOr<std::optional<BoxSource>> probeBoxSource(const std::filesystem::path& path);

// Writes job.output from a probed source. Leaves nothing at job.output on failure or cancellation.
ErrorOr<void> exportBoxFile(const ExportJob& job, ExportControl& control, BoxSource source);

}  // namespace kelvatta
