#include "media/base/not_in_place.h"

#include "media/base/error_texts.h"
#include "media/base/media_error.h"

namespace kelvatta {

Error notInPlaceError(const NotInPlace& reason)
{
    Error error = exportError(ExportErrorCode::notInPlace, error_texts::notInPlace(reason));
    error.detail = static_cast<int>(reason.kind);
    return error;
}

std::optional<NotInPlace::Kind> notInPlaceKindOf(const Error& error)
{
    if (!isExportError(error, ExportErrorCode::notInPlace) || error.detail == 0) return std::nullopt;
    return static_cast<NotInPlace::Kind>(error.detail);
}

}  // namespace kelvatta
