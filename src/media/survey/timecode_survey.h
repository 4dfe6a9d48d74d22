// Every place a clip keeps its timecode, read without writing anything and without marking the files
// read: the timecode tracks, the QuickTime "timecode" item, Sony's rtmd samples, the camera XML in the
// file and beside it, the start timecodes kept as text in the movie's metadata (©TIM, XMP); for a file
// the box path does not read, what libavformat reports. What `kelvatta --show` prints.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "media/counting/timecode.h"
#include "media/inplace/clip_state.h"
#include "platform/error.h"

namespace kelvatta {

struct TimecodePlace {
    std::string name;  // as survey_texts::place names it
    // Its first value as written, e.g. "14:02:55;17"; nothing for a place the clip does not have (no
    // timecode track, no item).
    std::optional<std::string> first;
    std::optional<std::string> last;  // its last, where one is kept per frame
    uint64_t values = 0;              // where one is kept per frame: how many
    // The first value as the clip counts it, for comparing the places; nothing when it cannot be told.
    std::optional<TimecodeValue> start;
    // Where one is kept per frame (or a track holds several): the first that does not count on.
    std::optional<TimecodeJump> jump;
};

struct TimecodeSurvey {
    std::string rate;      // the video's frame rate, e.g. "29.97"; empty when not known
    std::string counting;  // how the clip counts (survey_texts::counting); empty when not known
    std::vector<TimecodePlace> places;
    std::vector<std::string> notUnderstood;     // places found whose timecode this program cannot read
    std::string reader;                         // for a file read by libavformat: its name of the container
    InPlaceState inPlace = InPlaceState::none;  // what the clip says of an earlier rewrite in place

    // Whether every place found starts at the same frame and none jumps: false where two that could
    // be compared differ or one jumps; nothing where fewer than two could be compared, or where any
    // place found could not be (a value whose counting cannot be told, one not understood).
    std::optional<bool> agree() const;
    // The places found whose start could not be compared with the others'.
    std::vector<std::string> uncompared() const;
};

// Reads every place of the clip at path. A link is not followed. An error when the clip cannot be
// read or is not a video file this program reads.
ErrorOr<TimecodeSurvey> surveyTimecodes(const std::filesystem::path& path);

}  // namespace kelvatta
