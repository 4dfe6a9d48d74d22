// Timecode values and the ways a clip counts them: frames per second, drop-frame numbering and
// half-step counting (50p or 59.94p counted at 25 or 30, the second frame of each pair marked).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "media/base/start_timecode.h"
#include "platform/error.h"

namespace kelvatta {

// A timecode value as counted by a clip: with half-step counting, which frame of the pair it is.
struct TimecodeValue {
    Timecode time;
    bool secondField = false;

    friend bool operator==(const TimecodeValue&, const TimecodeValue&) = default;
};

// Why a clip's counting never shows a start as its first frame (TimecodeCounting::refusal): a value
// the places that re-base carry up to the refusal, whose sentence counting_texts.cpp makes.
struct StartRefusal {
    enum class Kind : uint8_t {
        dropFrameAtRate = 1,  // drop-frame numbering at a rate that is no multiple of 30
        rateUnknown,          // no rate this program counts at
        noSuchFrame,          // a frame number at or past the rate
        droppedNumber,        // a number the drop-frame numbering skips
        notDropFrame,         // asked with ';' of a clip that does not count drop-frame
    };
    Kind kind{};
    uint32_t framesPerSecond = 0;  // as counted
    bool halfStep = false;
    uint32_t lastFrame = 0;  // the last number of a second (noSuchFrame), the last skipped (droppedNumber)
    Timecode start;

    friend bool operator==(const StartRefusal&, const StartRefusal&) = default;
};

struct TimecodeCounting {
    uint32_t framesPerSecond = 0;  // as counted: 30 for 29.97, 25 for 50p in half steps
    bool dropFrame = false;        // 29.97/59.94 numbering: frame numbers skipped each minute but every tenth
    bool halfStep = false;         // two frames per count, the second one marked

    // A rate this program can count at: 1 to 255 frames per second, drop-frame only at multiples of 30.
    bool valid() const;
    // Positions in one day: frames, or half frames with half-step counting.
    uint64_t positionsPerDay() const;
    // Where value lies from 00:00:00:00 in positions; nothing for a value this counting never shows
    // (frames past the rate, a skipped drop-frame number, a marked frame without half-step).
    std::optional<uint64_t> position(const TimecodeValue& value) const;
    // The value at a position (taken modulo a day).
    TimecodeValue valueAt(uint64_t position) const;
    // Why this counting never shows start as a first frame: its frames at or past the rate, or a
    // number the drop-frame numbering skips. Nothing when it does show it. Every place that re-bases
    // a clip's timecodes to a start asks this, so that one rule, and one wording, decides them all.
    std::optional<StartRefusal> refusal(const Timecode& start) const;
    // The same for the start a run asks, which also fails a clip that does not count drop-frame when it
    // is asked with ';' (asked with ':', a drop-frame clip starts at the same numbers).
    std::optional<StartRefusal> refusal(const StartTimecode& start) const;
    // The value that stands for the same frame as value of `from`: the same position where both count
    // as many positions per second (50p in half steps at 25 and at 50), twice it where this counts
    // every frame of a clip that from counts at half its rate (and half it the other way round, for
    // a frame this counts), else value as it is. Nothing when this counting never shows it.
    std::optional<TimecodeValue> sameFrame(const TimecodeCounting& from, const TimecodeValue& value) const;
};

// The error of a clip whose timecode cannot start at start, for the reason refusal() gives: unsupported,
// the reason's kind as the detail.
Error startRefused(const Timecode& start, const StartRefusal& why);
Error startRefused(const StartTimecode& start, const StartRefusal& why);
// The kind of such a refusal; nothing for any other error.
std::optional<StartRefusal::Kind> startRefusalOf(const Error& error);

// Where a place that keeps a value per frame stops counting on from its first value.
struct TimecodeJump {
    uint64_t frame = 0;      // the frame, counted from the place's first (0)
    TimecodeValue expected;  // what it would read counting on from the first
    TimecodeValue found;     // what it reads
    bool dropFrame = false;  // the place writes its values with ';' before the frames

    // What the frame should read and what it reads (counting_texts::jumpValues).
    std::string values() const;
};

// A place's values, one per frame, given in turn: each must lie as many positions after the first
// value as its frame lies after the first's (modulo a day). Keeps the first frame that does not;
// nothing is checked when the first value is one the counting never shows.
class TimecodeRun {
public:
    TimecodeRun(const TimecodeCounting& counting, bool dropFrameText) : counting_(counting), dropFrame_(dropFrameText)
    {
    }
    // The value of frame (given in increasing order; frames whose value is not known left out).
    void add(uint64_t frame, const TimecodeValue& value);
    const std::optional<TimecodeJump>& jump() const { return jump_; }

private:
    TimecodeCounting counting_;
    bool dropFrame_;
    bool started_ = false;
    uint64_t firstFrame_ = 0;
    std::optional<uint64_t> firstPosition_;
    std::optional<TimecodeJump> jump_;
};

// The error of a place (e.g. "“rtmd”") whose values jump: a damaged clip's, of kind timecodeJump,
// saying what may have left it so and what finishes it.
Error timecodeJumped(const std::string& place, const TimecodeJump& jump);

// Re-bases the values of one clip: the first value becomes `start` and every later one keeps its
// distance to the first, modulo a day.
class TimecodeRebase {
public:
    // Nothing when first or start cannot be counted so.
    static std::optional<TimecodeRebase> make(const TimecodeCounting& counting, const TimecodeValue& first,
                                              const TimecodeValue& start);
    // The re-based value, nothing for a value the counting never shows.
    std::optional<TimecodeValue> operator()(const TimecodeValue& value) const;

private:
    TimecodeRebase(const TimecodeCounting& counting, uint64_t first, uint64_t start)
        : counting_(counting), first_(first), start_(start)
    {
    }
    TimecodeCounting counting_;
    uint64_t first_;
    uint64_t start_;
};

// SMPTE 12M packing as 4 bytes: frames, seconds, minutes, hours, each BCD, with flag bits (frames bit
// 6 drop-frame, bit 7 colour frame; seconds bit 7 the second frame of a pair in half-step counting;
// minutes bit 7 and hours bits 6-7 binary group flags).
struct PackedTimecode {
    uint8_t bytes[4] = {};

    bool dropFrame() const { return bytes[0] & 0x40; }
    // The value, nothing when a digit is not BCD or a field is out of range.
    std::optional<TimecodeValue> unpack(bool halfStep) const;
    // value packed with this value's flag bits (the pair mark comes from value in half-step counting).
    PackedTimecode repacked(const TimecodeValue& value, bool halfStep) const;
};

}  // namespace kelvatta
