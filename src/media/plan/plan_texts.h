// The sentences of the rewrite's plan: the lines naming what a rewrite leaves as it was, what the
// plan finds wrong with the clip, and what the output's check finds different. Made here only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "media/boxes/start_timecodes.h"

namespace kelvatta {

// What the output read back differs in from the plan (output_check).
enum class OutputMismatch : uint8_t {
    size,          // the file's size
    writtenBoxes,  // the boxes written
    timecodes,     // the timecodes re-computed in the samples
    severalMoov,   // more than one moov
    moov,          // the moov's place or size
    trackStart,    // a timecode track's first value
};

namespace plan_texts {

// The lines of what a rewrite leaves as it was.
std::string rtmdKeptLine(const std::filesystem::path& clip);
std::string unreadTimecodeLine(const std::filesystem::path& clip, const UnreadTimecode& timecode);

std::string outputMismatch(OutputMismatch what);

// The clip's layout and sizes as the plan finds them.
std::string outputTooLarge();
std::string fileTooLarge();
std::string newMoovTooLarge();
std::string writingNewMoov(uint64_t bound);  // what was being done when memory ran out
std::string newMoovSizeUnknown();
std::string missingMoov();
std::string dataOutsideMdat(uint64_t offset);
std::string sampleOutsideMdat();
std::string trackPastMdat(uint32_t handler);
std::string timecodeSamplesOverlap();
std::string timecodeOverlapsTrack(const std::string& owner, uint32_t handler);  // owner: a quoted type or none
std::string chunkOffsetPastTable();
std::string tmcdTrack();  // the place whose timecode jumps
std::string noTrackId();

}  // namespace plan_texts
}  // namespace kelvatta
