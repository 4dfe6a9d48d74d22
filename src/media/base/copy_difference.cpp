#include "media/base/copy_difference.h"

#include <string>

#include "media/base/media_error.h"

namespace kelvatta {
namespace {

// The kind in the low byte of the error's detail, the track above it.
constexpr int kTrackShift = 8;

std::string words(CopyDifference difference)
{
    using Kind = CopyDifference::Kind;
    const std::string track = "第 " + std::to_string(difference.track) + " 条轨道";
    switch (difference.kind) {
    case Kind::notAFile: return "不是普通文件";
    case Kind::notAVideo: return "不是可识别的视频文件";
    case Kind::otherStart: return "时间码的起点不同";
    case Kind::otherTracks: return "轨道的数目或种类不同";
    case Kind::trackSamples: return track + "的样本不同";
    case Kind::trackMetadata: return track + "的元数据不同";
    case Kind::trackTimecode: return track + "中的时间码不同";
    case Kind::movieMetadata: return "文件的元数据不同";
    case Kind::layout: return "媒体数据的位置或文件的大小不同";
    case Kind::changedWhileRead: return "在比对期间被修改";
    }
    return "未知的差异";
}

}  // namespace

Error notEarlierResult(const std::filesystem::path& output, CopyDifference difference)
{
    Error error = exportError(ExportErrorCode::notEarlierResult,
                              quotedName(output.parent_path()) + "中已有同名文件" + quotedName(output) +
                                  "，但它不是此文件的处理结果（" + words(difference) +
                                  "）；原片未受影响，移走或删除该文件后即可重试");
    error.detail = static_cast<int>(difference.kind) | static_cast<int>(difference.track << kTrackShift);
    return error;
}

std::optional<CopyDifference> copyDifferenceOf(const Error& error)
{
    if (!isExportError(error, ExportErrorCode::notEarlierResult)) return std::nullopt;
    const auto detail = static_cast<unsigned>(error.detail);
    return CopyDifference{static_cast<CopyDifference::Kind>(detail & 0xff), detail >> kTrackShift};
}

}  // namespace kelvatta
