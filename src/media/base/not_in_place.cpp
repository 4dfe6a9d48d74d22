#include "media/base/not_in_place.h"

#include "media/base/error_texts.h"
#include "media/base/media_error.h"

namespace kelvatta {

Error notInPlaceError(const NotInPlace& reason)
{
    return exportError(ExportErrorCode::notInPlace, error_texts::notInPlace(reason), reason.kind);
}

std::optional<NotInPlace::Kind> notInPlaceKindOf(const Error& error)
{
    return kindOf<NotInPlace::Kind>(error, ExportErrorCode::notInPlace);
}

}  // namespace kelvatta
