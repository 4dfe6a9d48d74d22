#include "app/batch_tally.h"

#include <map>

#include "app/app_texts.h"
#include "media/base/media_error.h"

namespace kelvatta {
namespace {

// VideoProcessor's error for an export that ended neither completed nor with an error of its own:
// one that was cancelled.
constexpr long kExportNotCompleted = 2;

bool isCancellation(const Error& error)
{
    return (error.domain == kVideoProcessorErrorDomain && error.code == kExportNotCompleted) ||
           isExportError(error, ExportErrorCode::cancelled);
}

}  // namespace

void BatchTally::started(const std::filesystem::path& file)
{
    std::lock_guard lock(mutex_);
    started_.push_back(file);
}

void BatchTally::ended(const std::filesystem::path& file, const Result& result)
{
    std::lock_guard lock(mutex_);
    if (result.isSuccess()) ++rewritten_;
    else if (isCancellation(result.error())) ++cancelled_;
    else failed_.push_back(file);
}

namespace {

// The files of the batch that were never started, in the batch's order (a file listed twice and
// started once is one of them).
std::vector<std::filesystem::path> notStarted(const std::vector<std::filesystem::path>& files,
                                              const std::vector<std::filesystem::path>& started)
{
    std::map<std::filesystem::path, size_t> startedCount;
    for (const auto& file : started) ++startedCount[file];
    std::vector<std::filesystem::path> left;
    for (const auto& file : files) {
        auto it = startedCount.find(file);
        if (it != startedCount.end() && it->second > 0) --it->second;
        else left.push_back(file);
    }
    return left;
}

}  // namespace

std::optional<std::string> BatchTally::doneLine(int64_t total, const std::vector<std::filesystem::path>& rtmdKept)
{
    if (rtmdKept.empty()) return std::nullopt;
    return app_texts::allDone(total) + app_texts::rtmdKept(rtmdKept);
}

std::string BatchTally::closingLine(const std::vector<std::filesystem::path>& files, bool interrupted,
                                    const std::vector<std::filesystem::path>& rtmdKept) const
{
    std::lock_guard lock(mutex_);
    return app_texts::notAllDone(interrupted, rewritten_, failed_, cancelled_) +
           app_texts::notStarted(notStarted(files, started_), kNamedNotStarted) + app_texts::rtmdKept(rtmdKept);
}

void TalliedProcessor::modifyTimecode(const std::filesystem::path& fileURL, bool saveAs, Completion completion) const
{
    tally_->started(fileURL);
    VideoProcessor::modifyTimecode(fileURL, saveAs,
                                   [tally = tally_, fileURL, completion = std::move(completion)](Result result) {
                                       tally->ended(fileURL, result);
                                       completion(std::move(result));
                                   });
}

}  // namespace kelvatta
