#include "app/batch_tally.h"

#include <map>

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

// "；其中 N 个文件的“rtmd”时间码保留了相机写入的值：a、b", nothing when there are none.
std::string rtmdKeptPart(const std::vector<std::filesystem::path>& rtmdKept)
{
    if (rtmdKept.empty()) return {};
    std::string part = "；其中 " + std::to_string(rtmdKept.size()) + " 个文件的“rtmd”时间码保留了相机写入的值：";
    for (size_t i = 0; i < rtmdKept.size(); ++i) part += (i ? "、" : "") + rtmdKept[i].string();
    return part;
}

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

// "；未开始 5 个：a、b、c 及另外 2 个", "；未开始 0 个".
std::string notStartedPart(const std::vector<std::filesystem::path>& left, size_t named)
{
    std::string part = "；未开始 " + std::to_string(left.size()) + " 个";
    for (size_t i = 0; i < left.size() && i < named; ++i) part += (i ? "、" : "：") + left[i].string();
    if (left.size() > named) part += " 及另外 " + std::to_string(left.size() - named) + " 个";
    return part;
}

}  // namespace

std::optional<std::string> BatchTally::doneLine(int64_t total, const std::vector<std::filesystem::path>& rtmdKept)
{
    if (rtmdKept.empty()) return std::nullopt;
    return "已全部完成：已处理完成 " + std::to_string(total) + " 个文件" + rtmdKeptPart(rtmdKept);
}

std::string BatchTally::closingLine(const std::vector<std::filesystem::path>& files, bool interrupted,
                                    const std::vector<std::filesystem::path>& rtmdKept) const
{
    std::lock_guard lock(mutex_);
    std::string line = interrupted ? "已中断：" : "未全部完成：";
    line += "已处理完成 " + std::to_string(rewritten_) + " 个文件";
    if (!failed_.empty()) {
        line += "；失败 " + std::to_string(failed_.size()) + " 个：";
        for (size_t i = 0; i < failed_.size(); ++i) line += (i ? "、" : "") + failed_[i].string();
    }
    if (cancelled_ > 0) line += "；已取消 " + std::to_string(cancelled_) + " 个（原文件未改动）";
    line += notStartedPart(notStarted(files, started_), kNamedNotStarted);
    return line + rtmdKeptPart(rtmdKept);
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
