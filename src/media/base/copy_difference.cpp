#include "media/base/copy_difference.h"

#include "media/base/error_texts.h"
#include "media/base/media_error.h"

namespace kelvatta {
namespace {

// The kind in the low byte of the error's detail, the track above it.
constexpr int kTrackShift = 8;

}  // namespace

Error notEarlierResult(const std::filesystem::path& output, CopyDifference difference)
{
    Error error = exportError(ExportErrorCode::notEarlierResult, error_texts::notEarlierResult(output, difference));
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
