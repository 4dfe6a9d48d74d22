// The camera's XML beside a clip, <clip's name without extension>M01.XML (C0001.MP4 beside
// C0001M01.XML, in PRIVATE/M4ROOT/CLIP on a Sony card). Final Cut Pro takes a card's start timecode
// from it, so its LtcChangeTable is re-based like the XML inside the clip, by the same text edit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "media/files/locked_clip.h"
#include "media/counting/timecode.h"
#include "platform/error.h"

namespace kelvatta {

// Why a sidecar is left as it is (its words: sony_texts::sidecarLeftAlone).
enum class SidecarLeftAlone : uint8_t {
    none,                // not left alone
    link,                // a link, not followed
    folder,              // a folder by its name
    notAFile,            // a pipe, a device ...
    empty,               // an empty file
    tooLarge,            // larger than any camera's XML
    tableNotUnderstood,  // a timecode table this program does not understand
};

// A file by the sidecar's name beside a clip.
struct Sidecar {
    std::filesystem::path path;
    // Why it is left as it is, when it is not a file this program reads (a link, a folder, a pipe
    // ...); none for a regular file.
    SidecarLeftAlone leftAlone = SidecarLeftAlone::none;
};

// The clip's sidecar, nothing when it has none. A link is not followed.
ErrorOr<std::optional<Sidecar>> findSidecar(const std::filesystem::path& clip);

// What became of a sidecar.
struct SidecarOutcome {
    enum class Kind {
        none,       // the clip has no sidecar
        written,    // written at path
        unchanged,  // already as it should be
        leftAlone,  // not written, for the reason why: the clip and it may now disagree
    };
    Kind kind = Kind::none;
    std::filesystem::path path;
    SidecarLeftAlone why = SidecarLeftAlone::none;
};

// The line that says so for a sidecar left alone (sony_texts::leftAloneLine); nothing for the other
// outcomes, whose lines their callers print.
std::optional<std::string> leftAloneLine(const SidecarOutcome& outcome);

// Writes the sidecar re-based to start: over itself (no destination), through "temp_" + its name
// flushed and renamed over it, or as a new file at destination (save as), unless a file there holds
// that text already (written by an earlier run: unchanged). Keeps its owner, permission bits and
// times. A table whose counting never shows start is an error. A sidecar this program does not read (see Sidecar), empty,
// larger than any camera's, or with a timecode table it does not understand is left alone and says
// why. A failure leaves the sidecar as it was and nothing partial beside it.
ErrorOr<SidecarOutcome> writeRebasedSidecar(const Sidecar& sidecar,
                                            const std::optional<std::filesystem::path>& destination,
                                            const Timecode& start = Timecode{});

// The sidecar's text, read only (and without marking it read where this user may), or why it is
// not read (an outcome of kind leftAlone).
ErrorOr<std::variant<std::string, SidecarOutcome>> readSidecarText(const Sidecar& sidecar);

// Whether the clip's sidecar can be re-based to start, read before the clip is written: an error
// when its timecode table never shows start (see TimecodeCounting::refusal). A sidecar that is left
// alone for another reason passes.
ErrorOr<void> checkSidecarStart(const std::filesystem::path& clip, const Timecode& start);

// Whether the clip's sidecar reads start already, or there is none this program would re-base (none,
// one left alone, one whose table it does not understand).
ErrorOr<bool> sidecarReadsStart(const std::filesystem::path& clip, const Timecode& start);

// After a clip's original has been given back (--restore), under the clip's lock: its sidecar
// counted from where the clip's own XML says it starts again, in place. Nothing to do (none) for a
// clip without XML.
ErrorOr<SidecarOutcome> restoreSidecar(const LockedClip& clip);

}  // namespace kelvatta
