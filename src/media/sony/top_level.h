// What of a source's top level goes into the output besides its moov: the camera's own boxes are
// kept (Sony's XAVC ftyp, its profile uuid box, its NonRealTimeMeta XML with the timecode re-based),
// every mdat is copied, and only padding (free, skip, wide) is left out.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "media/base/text_edit.h"
#include "media/boxes/box_reader.h"
#include "media/boxes/moov_model.h"
#include "media/boxes/start_timecodes.h"
#include "media/counting/timecode.h"

namespace kelvatta {

// Kept boxes up to this size are written with the output's head; larger ones are copied like mdat.
inline constexpr uint64_t kMaxHeadBoxSize = 1u << 20;

struct TopLevelPlan {
    std::optional<Bytes> ftyp;                    // the source's, kept; none: the output gets its own
    std::vector<Bytes> leading;                   // small boxes kept byte for byte, written after ftyp (uuid ...)
    std::vector<Bytes> cameraXml;                 // top-level meta boxes with the camera's XML, written after moov
    std::vector<Box> data;                        // mdat, large kept boxes, the trailer: in source order, copied whole
    std::optional<TimecodeCounting> xmlCounting;  // how the camera's XML counts, when there is one
    // The re-basing of the top-level camera XML as edits of the source where it lies (each value's
    // digits at their file offset), for a rewrite in place.
    std::vector<TextEdit> xmlEdits;
    // Where the text of each top-level camera XML and XMP packet lies in the source: [first, second).
    std::vector<std::pair<uint64_t, uint64_t>> xmlTexts;
    // Start timecodes written as text in a top-level XMP packet, re-based: the kept boxes hold them,
    // and here they are where they lie in the source (offsets in the file), for a rewrite in place.
    std::vector<TextEdit> textEdits;
    std::vector<UnreadTimecode> timecodesLeftAlone;  // start timecodes found but not understood, for a line
    bool xmlInMoov = false;                          // the camera's XML was in moov/meta
    std::vector<uint64_t> xmlMetasInMoov;  // those moov/meta boxes, by offset in moov: written at the top level
};

// Sorts the source's top-level boxes (and moves the camera XML out of moov/meta, where some writers
// put it). With start, the XML's timecode table is re-based to begin there.
ErrorOr<TopLevelPlan> planTopLevel(const std::vector<Box>& topLevel, const Movie& movie, ByteSource& source,
                                   const std::optional<Timecode>& start);

// Where the camera XML at the top level of the file at path says its timecode starts; nothing when
// it has none.
ErrorOr<std::optional<Timecode>> cameraXmlStartOf(ByteSource& file, const std::vector<Box>& topLevel);
// The text of the file's camera XML: the first at its top level, else the first in movie's moov/meta
// (when given); nothing when it has none.
ErrorOr<std::optional<std::string>> cameraXmlTextOf(ByteSource& file, const std::vector<Box>& topLevel,
                                                    const Movie* movie = nullptr);

// Whether a source's ftyp is kept: a Sony XAVC file that is also an MPEG-4 file (mp42 among its
// compatible brands), and a QuickTime movie (major brand qt), whose boxes keep QuickTime's conventions
// (handler names as Pascal strings ...) that an MPEG-4 label would have readers misread.
bool keepsSourceFtyp(ByteSpan ftyp);

}  // namespace kelvatta
