// The check of the general path's result, read back before it is committed.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <filesystem>
#include <vector>

#include "media/base/export_job.h"
#include "media/general/general_writer.h"
#include "platform/error.h"

namespace kelvatta {

// Reads the finished output (fd, as path names it) back: its movie box must parse, hold the copied
// streams in order with their codecs and every sample inside the file, a timecode track for each
// video at the rate written, and the metadata items.
ErrorOr<void> verifyOutput(const ExportJob& job, const std::filesystem::path& path, int fd,
                           const AVFormatContext* input, const std::vector<int>& streams, const Remuxed& written);

}  // namespace kelvatta
