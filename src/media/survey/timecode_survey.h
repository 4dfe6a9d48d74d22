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

// The value shown for a place the clip does not have (no timecode track, no item).
inline constexpr const char* kNoTimecodeHere = "无";

struct TimecodePlace {
    std::string name;                 // e.g. "“tmcd”轨道", "附属 XML 文件 C0001M01.XML"
    std::string first;                // its first value as written, e.g. "14:02:55;17"; kNoTimecodeHere
    std::optional<std::string> last;  // its last, where one is kept per frame
    uint64_t values = 0;              // where one is kept per frame: how many
    // The first value as the clip counts it, for comparing the places; nothing when it cannot be told.
    std::optional<TimecodeValue> start;
    // Where one is kept per frame (or a track holds several): the first that does not count on.
    std::optional<TimecodeJump> jump;
};

struct TimecodeSurvey {
    std::string rate;      // the video's frame rate, e.g. "29.97"; empty when not known
    std::string counting;  // how the clip counts, e.g. "每秒 30 帧，丢帧"; empty when not known
    std::vector<TimecodePlace> places;
    std::vector<std::string> notUnderstood;     // places found whose timecode this program cannot read
    std::string reader;                         // for a file read by libavformat: its name of the container
    InPlaceState inPlace = InPlaceState::none;  // what the clip says of an earlier rewrite in place

    // Whether the places that could be compared all start at the same frame and none jumps; nothing
    // with fewer than two and no jump.
    std::optional<bool> agree() const;
};

// Reads every place of the clip at path. A link is not followed. An error when the clip cannot be
// read or is not a video file this program reads.
ErrorOr<TimecodeSurvey> surveyTimecodes(const std::filesystem::path& path);

}  // namespace kelvatta
