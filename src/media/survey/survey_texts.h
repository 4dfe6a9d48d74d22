// The sentences of what `--show` reads: the places a clip keeps its timecode, why one is not read,
// how the clip counts, and why the look at it failed. Made here only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "media/boxes/start_timecodes.h"
#include "media/counting/timecode.h"
#include "media/sony/sidecar.h"

namespace kelvatta {

// A place a clip keeps its timecode, by kind; some are named with a detail (survey_texts::place).
enum class SurveyPlace : uint8_t {
    tmcdTrack,
    timecodeItem,
    rtmd,          // where its samples are not read
    rtmdPerFrame,  // its values, one per frame
    xmlInFile,
    sidecar,      // detail: the sidecar's file name
    userDataTim,  // ©TIM
    userDataXmp,  // detail: the XMP property
    uuidXmp,      // detail: the XMP property
    reported,     // detail: where libavformat reports it (the container, a stream)
    anyTimecode,  // none reported by libavformat
};

// Why a place found is not read.
enum class SurveyNotRead : uint8_t {
    samplesUnreadable,   // its tables at odds, a sample cut short
    rateUnknown,         // a frame rate this program does not know
    rtmdFormat,          // rtmd samples of a format this program does not know
    tableNotUnderstood,  // camera XML whose timecode table it does not understand
};

namespace survey_texts {

std::string place(SurveyPlace place, const std::string& detail = {});
std::string notRead(const std::string& place, SurveyNotRead why);
std::string sidecarNotRead(const std::string& place, SidecarLeftAlone why);
// How the clip counts: its rate, half steps, drop-frame or not; empty for a counting not known.
std::string counting(const TimecodeCounting& counting);
std::string busy(const std::filesystem::path& clip);
std::string changedWhileRead(const std::filesystem::path& clip);

}  // namespace survey_texts
}  // namespace kelvatta
