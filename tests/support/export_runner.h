// Runs one export through the export session, as VideoProcessor does, and waits for its end.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "media/export_session.h"

namespace kelvatta::test {

struct ExportOutcome {
    long status = 0;
    std::optional<Error> error;
    double progress = 0;

    bool completed() const { return status == static_cast<long>(ExportStatus::completed) && !error; }
};

// The one metadata item the program gives every export: "timecode" = "00:00:00:00".
std::vector<MetadataItem> zeroTimecodeItems();

ExportOutcome exportThroughSession(const std::filesystem::path& source, const std::filesystem::path& output);

}  // namespace kelvatta::test
