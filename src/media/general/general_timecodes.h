// What libavformat reports of a clip's timecode, for a file the box path does not read (Matroska,
// AVI, a fragmented MP4): the container's timecode tag and each stream's, and the video's rate.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace kelvatta {

struct ReportedTimecode {
    std::string where;  // the container or a stream, as general_texts names them
    std::string value;  // as reported, e.g. "01:00:00:00"
};

struct ReportedTimecodes {
    std::string format;                       // libavformat's name of the container, e.g. "matroska,webm"
    std::optional<std::pair<int, int>> rate;  // the first video's frame rate, numerator and denominator
    std::vector<ReportedTimecode> timecodes;  // the container's first, then the streams' in order
};

// Reads the file open as fd (size bytes; path names it in errors) through libavformat, reading
// nothing but it. An error when libavformat cannot open it.
ErrorOr<ReportedTimecodes> reportedTimecodes(int fd, uint64_t size, const std::filesystem::path& path);

}  // namespace kelvatta
