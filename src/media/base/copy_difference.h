// Why a file at a save-as output's name is not the clip's result: what differs, as a value the
// export's refusal carries beside its text (ExportErrorCode::notEarlierResult), as Damage is for a
// damaged file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/error.h"

namespace kelvatta {

struct CopyDifference {
    enum class Kind : uint8_t {
        notAFile = 1,      // a folder, a link, a pipe ... at the name
        notAVideo,         // nothing the box reader reads as a movie
        otherStart,        // a timecode that does not start where asked
        otherTracks,       // another number of tracks, or tracks of other kinds
        trackSamples,      // a track's samples: their tables, their lengths or their bytes
        trackMetadata,     // a track's description: sample descriptions, edit list, header, handler, tags
        trackTimecode,     // the timecode a track's samples hold, frame by frame (rtmd, tmcd)
        movieMetadata,     // the movie's: user data, metadata items, camera XML, brands, boxes of others
        layout,            // the same movie with its media data elsewhere, or a file cut short or grown
        changedWhileRead,  // the file changed while it was compared
    };
    Kind kind{};
    uint32_t track = 0;  // 1-based, for the kinds of a track

    friend bool operator==(const CopyDifference&, const CopyDifference&) = default;
};

// What a comparison finds: the first difference, or none. differsIn names the track at index (from
// 0) of the movie's tracks.
using FoundDifference = std::optional<CopyDifference>;
inline FoundDifference differs(CopyDifference::Kind kind) { return CopyDifference{kind}; }
inline FoundDifference differsIn(CopyDifference::Kind kind, size_t index)
{
    return CopyDifference{kind, static_cast<uint32_t>(index + 1)};
}

// The refusal, naming the output's folder and file and what differs (its sentence:
// error_texts::notEarlierResult).
Error notEarlierResult(const std::filesystem::path& output, CopyDifference difference);

// What differs, for such a refusal; nothing for any other error.
std::optional<CopyDifference> copyDifferenceOf(const Error& error);

}  // namespace kelvatta
