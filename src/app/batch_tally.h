// What became of each file of the command line's batch, for the line a failed or interrupted run ends
// with: how many files were rewritten, which failed, how many were cancelled, and which were never
// started, so that the user knows what to run again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "rewrite/video_processor.h"

namespace kelvatta {

class BatchTally {
public:
    // Usable from any thread.
    void started(const std::filesystem::path& file);
    void ended(const std::filesystem::path& file, const Result& result);

    // The closing line of a batch of these files; interrupted when a signal stopped it. rtmdKept
    // lists the clips whose rtmd timecodes were left as the camera wrote them. The files not started
    // are named, the first kNamedNotStarted of them, then counted.
    static constexpr size_t kNamedNotStarted = 3;
    std::string closingLine(const std::vector<std::filesystem::path>& files, bool interrupted,
                            const std::vector<std::filesystem::path>& rtmdKept) const;
    // The line a batch that did all its files ends with when some clips' rtmd timecodes were left as
    // the camera wrote them; nothing when there were none.
    static std::optional<std::string> doneLine(int64_t total, const std::vector<std::filesystem::path>& rtmdKept);

private:
    mutable std::mutex mutex_;
    std::vector<std::filesystem::path> started_;
    int64_t rewritten_ = 0;
    int64_t cancelled_ = 0;
    std::vector<std::filesystem::path> failed_;
};

// The program's VideoProcessor, telling a tally about every file it is given and how it ended.
class TalliedProcessor final : public VideoProcessor {
public:
    TalliedProcessor(SessionFactory factory, std::shared_ptr<BatchTally> tally)
        : VideoProcessor(std::move(factory)), tally_(std::move(tally))
    {
    }
    void modifyTimecode(const std::filesystem::path& fileURL, bool saveAs, Completion completion) const override;

private:
    const std::shared_ptr<BatchTally> tally_;
};

}  // namespace kelvatta
