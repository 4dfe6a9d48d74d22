// Sony's NonRealTimeMeta XML (inside the clip and as the sidecar <clip>M01.XML beside it): its
// LtcChangeTable gives the clip's timecode, e.g.
//   <LtcChangeTable tcFps="25" halfStep="false">
//     <LtcChange frameCount="0" value="17305719" status="increment"/> ...
// Each value is SMPTE 12M packing written as 8 hex digits (frames, seconds, minutes, hours). The
// text is edited in place, never re-serialised: only the digits of the values change.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/base/text_edit.h"
#include "media/counting/timecode.h"

namespace kelvatta {

// Larger camera XML is not what a camera writes; it is left as it is.
inline constexpr size_t kMaxCameraXmlSize = 16u << 20;

struct RebasedCameraXml {
    std::string text;
    std::vector<TextEdit> edits;  // each value whose digits changed, at its offset in the text, in order
    bool changed = false;
    TimecodeCounting counting;  // of the first table: rate, drop-frame (from its first value), half-step
};

// The text with the values of every LtcChangeTable re-based so that each table's first value reads
// start and every later one keeps its distance to the first (in the table's own counting). Nothing
// when the text holds no table this program understands in full (then nothing in it is changed), or
// a table whose counting never shows start: then refusal, when given, says why (see
// TimecodeCounting::refusal).
std::optional<RebasedCameraXml> rebaseCameraXml(std::string_view text, const Timecode& start,
                                                std::optional<StartRefusal>* refusal = nullptr);

// The first value of the text's first LtcChangeTable, and how that table counts: where the clip's
// timecode starts.
struct CameraXmlFirst {
    TimecodeValue value;
    TimecodeCounting counting;  // its rate (when it says one), half-step, drop-frame as the value says
};
std::optional<CameraXmlFirst> cameraXmlFirst(std::string_view text);
std::optional<Timecode> cameraXmlStart(std::string_view text);

}  // namespace kelvatta
