#include "media/base/media_error.h"

#include <cerrno>

#include "media/base/error_texts.h"

namespace kelvatta {

std::string quotedName(const std::filesystem::path& file) { return "“" + file.filename().string() + "”"; }

Error unrecognizedFile(const std::filesystem::path& file)
{
    return exportError(ExportErrorCode::unrecognized, error_texts::unrecognized(file));
}

Error sourceChanged(const std::filesystem::path& file)
{
    return exportError(ExportErrorCode::sourceChanged, error_texts::sourceChanged(file));
}

Error cancelledError() { return exportError(ExportErrorCode::cancelled, error_texts::cancelled()); }

Error clipBusy(const std::filesystem::path& file)
{
    return exportError(ExportErrorCode::busy, error_texts::busy(file));
}

Error outOfMemory() { return posixError(ENOMEM); }

Error inSourceFile(Error error, const std::filesystem::path& file)
{
    if (error.domain != kExportErrorDomain) return error;
    switch (static_cast<ExportErrorCode>(error.code)) {
    case ExportErrorCode::damaged:
        // Timecodes that jump leave every frame playable: the clip is not called damaged.
        error.localizedDescription =
            error_texts::damagedFile(file, damageOf(error) == Damage::timecodeJump, error.localizedDescription);
        break;
    case ExportErrorCode::unsupported:
    case ExportErrorCode::tooLarge:
    case ExportErrorCode::fragmented:
        error.localizedDescription = error_texts::notExported(file, error.localizedDescription);
        break;
    default: break;
    }
    return error;
}

Error fileError(FileAction action, const std::filesystem::path& file, int err)
{
    return posixError(err, error_texts::fileAction(action) + quotedName(file) + "：");
}

}  // namespace kelvatta
