// Timecode values as written ("HH:MM:SS:FF"), and the start a run asks of every clip: parsed once from
// the command line and carried, typed, to every place that compares or writes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvatta {

// "HH:MM:SS:FF" (or with ';' before the frames, as drop-frame timecode is written).
struct Timecode {
    uint32_t hours = 0, minutes = 0, seconds = 0, frames = 0;

    // Two digits a field, hours below 24, minutes and seconds below 60; ':' or ';' before the frames.
    static std::optional<Timecode> parse(std::string_view text);
    // The frame number at framesPerSecond in non-drop counting (what a tmcd sample holds).
    uint64_t frameNumber(uint32_t framesPerSecond) const;
    // "HH:MM:SS:FF", or with ';' before the frames when counted drop-frame.
    std::string text(bool dropFrame = false) const;

    friend bool operator==(const Timecode&, const Timecode&) = default;
};

// Where a run starts every clip's timecode: the value, and whether it was asked in drop-frame notation
// (';' before the frames). It is compared with a clip's timecodes as a frame in the clip's own counting
// and written in the clip's notation; ';' asked of a clip that does not count drop-frame fails it.
struct StartTimecode {
    Timecode time;
    bool dropFrame = false;

    static std::optional<StartTimecode> parse(std::string_view text);
    // As asked: "01:00:00;00".
    std::string text() const { return time.text(dropFrame); }

    friend bool operator==(const StartTimecode&, const StartTimecode&) = default;
};

}  // namespace kelvatta
