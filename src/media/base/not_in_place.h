// Why a clip cannot be rewritten in place (its layout, its file system, its owner): a value the plan
// returns and the refusal (ExportErrorCode::notInPlace) carries beside its sentence, which is written
// in error_texts.cpp only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"

namespace kelvatta {

struct NotInPlace {
    enum class Kind : uint8_t {
        notMp4Brand = 1,    // the major brand is none of mp42, mp41, isom (a QuickTime or XAVC file)
        trailer,            // bytes after the last box that must stay at the file's end
        mediaAfterMoov,     // media data that does not all lie before moov
        boxAfterMoov,       // a box after moov that is not one the rewrite keeps where it is
        bytesAfterLastBox,  // the boxes end before the file does
        xmlInMoov,          // the camera's XML inside moov
        moovSizeUnwritten,  // moov's size is 0 ("to the end"): the old moov could not be turned off
        notAMovie,          // no movie the box reader reads (a fragmented MP4 among others)
        notABoxFile,        // not an ISO base media or QuickTime file at all
        notOwner,           // the run may write the clip but not set its times (only its owner may)
        noLocks,            // its file system takes no locks: nothing would keep another run out
    };
    Kind kind{};
    uint32_t type = 0;  // the brand (notMp4Brand) or the box's type (boxAfterMoov)
    uint64_t size = 0;  // of the trailer

    friend bool operator==(const NotInPlace&, const NotInPlace&) = default;
};

// The refusal: ExportErrorCode::notInPlace, the reason's sentence (error_texts::notInPlace), its kind as
// the detail.
Error notInPlaceError(const NotInPlace& reason);
// The kind of such a refusal; nothing for any other error.
std::optional<NotInPlace::Kind> notInPlaceKindOf(const Error& error);

}  // namespace kelvatta
