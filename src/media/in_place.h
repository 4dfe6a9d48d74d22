// Rewriting a clip in place, where its layout allows (all media data before moov, only the camera's
// XML and padding after it: a camera's original), and giving the original back.
//
// Nothing is copied: a marker, the new moov (typed free, so readers skip it), the timecode sample it
// adds and an undo record are appended after the clip's last byte and flushed; then the re-based
// timecodes are written over the clip's own rtmd samples and XML, the new moov is switched on (its
// type made moov) and the old one off (made free), each step flushed before the next. Readers take
// the first moov, so at every instant the file has one whole moov they read: the original's until the
// switch, the new one after it. A run cut short is completed by the next rewrite in place or undone by
// restoreInPlace; a failure undoes what was done. The clip keeps its inode, owner, permission bits,
// extended attributes, links and times.
#pragma once

#include <filesystem>
#include <vector>

#include "media/export_job.h"
#include "platform/error.h"

namespace kelvatta {

// Rewrites clip in place with the metadata items (as the export does). An export error of kind
// notInPlace, saying why, when the clip must be rewritten the ordinary way.
ErrorOr<void> rewriteInPlace(const std::filesystem::path& clip, const std::vector<MetadataItem>& items,
                             ExportControl& control);

// Gives back the original of a clip rewritten in place, byte for byte (checked against the record's
// hash) and with its times. False for a file that carries no record (nothing is done to it).
ErrorOr<bool> restoreInPlace(const std::filesystem::path& clip);

}  // namespace kelvatta
