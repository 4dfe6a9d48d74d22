// A text re-based where it lies: the texts that hold timecodes (the camera's XML, XMP, QuickTime's
// ©TIM) are never written anew, each value's new characters go over its old ones, of equal length.
#pragma once

#include <cstdint>
#include <string>

namespace kelvatta {

struct TextEdit {
    uint64_t offset = 0;   // of the value's first character, within the text, payload or file it is listed for
    std::string original;  // the value as written, e.g. "01:00:00;00", "17305719"
    std::string rebased;   // the same length: what goes over it, e.g. "00:00:00;00", "00000000"
    std::string name{};    // what holds it, where a line names it, e.g. "xmpDM:startTimecode"
};

}  // namespace kelvatta
