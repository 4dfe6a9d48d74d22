// Start timecodes written as text in a clip's movie-level metadata: the XMP packet's xmpDM timecodes
// and QuickTime user data's ©TIM. As with the camera XML, the text is edited in place, never
// re-serialised: a value keeps its length and separators and only its digits change; a value not
// understood in full is left as it is and named.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/base/bytes.h"
#include "media/base/text_edit.h"
#include "media/counting/timecode.h"

namespace kelvatta {

// A start timecode found in the metadata that this program does not understand how it is written, and
// so leaves as it is: a value the plan carries to the line that names it (box_texts::unreadTimecode).
struct UnreadTimecode {
    enum class Kind : uint8_t {
        xmpUnreadable = 1,   // XMP that could hold one but is not well-formed
        xmp,                 // a property of the XMP packet, by name, and its value where it has one
        userDataUnreadable,  // a ©TIM in user data whose items cannot be read
        userData,            // user data's ©TIM, and its value where one is read
        largeXmp,            // an XMP packet over 1 MiB, which is not read
    };
    Kind kind{};
    std::string name{};                  // the property's (xmp)
    std::optional<std::string> value{};  // as a line shows it: printable ASCII, any other byte '?', cut long
    friend bool operator==(const UnreadTimecode&, const UnreadTimecode&) = default;
};

struct TextTimecodes {
    // Every start timecode found and understood, in order of offset within the text or payload given
    // (also those already at start: rebased == original), re-based in its own layout, named by what
    // holds it ("xmpDM:startTimecode", "©TIM").
    std::vector<TextEdit> edits;
    // Each one found but not understood.
    std::vector<UnreadTimecode> leftAlone;
    // Why a value understood in full, written at a rate its metadata names, cannot hold start (see
    // TimecodeCounting::refusal): the clip cannot be re-based there.
    std::optional<StartRefusal> refusal;
};

// A value is understood when it reads HH:MM:SS, then ':' or a drop-frame separator (';', '.' or ','),
// then FF, two digits each, hours below 24 and minutes and seconds below 60.

// The start timecodes of an XMP packet: the timeValue of each xmpDM:startTimecode (also spelt
// startTimeCode) and xmpDM:altTimecode of the packet's top-level descriptions, as attributes of the property, as its
// child elements (rdf:parseType="Resource") or inside an rdf:Description of it, each re-based to start
// in its own layout. A timeFormat this program does not know, or whose rate cannot show start, leaves
// its value alone. Timecodes elsewhere (those of other resources the packet describes, in another
// layout or another namespace) are named, never edited. A packet that is not well-formed is edited
// nowhere, and named in one line when it could hold a timecode.
TextTimecodes rebaseXmpTimecodes(std::string_view xmp, const Timecode& start);

// The start timecode of QuickTime user data: each ©TIM item among the children of a udta payload (an
// international text item: u16 text length, u16 language code, then the text; beside it the ©TSC
// and ©TSZ items, its time scale and frame duration, which stay as they are), re-based to start.
// Offsets are within udtaPayload.
TextTimecodes rebaseUserDataTimecode(ByteSpan udtaPayload, const Timecode& start);

}  // namespace kelvatta
