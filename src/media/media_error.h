// Errors of the export component. The box reader and the moov rewrite know nothing of file names:
// they give a reason, and the export names the file when it passes the error on.
#pragma once

#include <filesystem>
#include <string>

#include "platform/error.h"

namespace kelvatta {

inline constexpr const char* kExportErrorDomain = "Export";

enum class ExportErrorCode : long {
    unrecognized = 1,  // not a video file this program can read
    damaged = 2,       // a box, table or offset that cannot be right
    unsupported = 3,   // well formed, but not something the export can carry
    tooLarge = 4,      // beyond a limit the export sets itself
    verifyFailed = 5,  // the written output did not read back as it should
    cancelled = 6,
    fragmented = 7,    // a fragmented movie: not for the box path
    notInPlace = 8,    // the clip's layout does not allow a rewrite in place; the reason says why
};

inline Error exportError(ExportErrorCode code, std::string description)
{
    return Error{kExportErrorDomain, static_cast<long>(code), std::move(description)};
}

// A reason, with no file named yet.
inline Error damaged(std::string reason) { return exportError(ExportErrorCode::damaged, std::move(reason)); }
inline Error unsupported(std::string reason) { return exportError(ExportErrorCode::unsupported, std::move(reason)); }
inline Error tooLarge(std::string reason) { return exportError(ExportErrorCode::tooLarge, std::move(reason)); }

inline bool isExportError(const Error& e, ExportErrorCode code)
{
    return e.domain == kExportErrorDomain && e.code == static_cast<long>(code);
}

// "文件“<name>”不是可识别的视频文件".
Error unrecognizedFile(const std::filesystem::path& file);
Error cancelledError();

// The reason of a damaged/unsupported/tooLarge error put into a sentence that names the source file;
// other errors pass unchanged.
Error inSourceFile(Error error, const std::filesystem::path& file);

}  // namespace kelvatta
