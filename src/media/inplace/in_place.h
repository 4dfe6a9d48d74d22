// Rewriting a clip in place, where its layout allows (all media data before moov, only the camera's
// XML and padding after it: a camera's original), and giving the original back.
//
// Nothing is copied: a marker, the new moov (typed free, so readers skip it), the timecode sample it
// adds and an undo record are appended after the clip's last byte, flushed, read back and committed
// (the marker says so); then the re-based timecodes are written over the clip's own rtmd samples and
// XML, the new moov is switched on (its type made moov) and the old one off (made free), each step
// flushed before the next. Readers take the first moov, so at every instant the file has one whole
// moov they read: the original's until the switch, the new one after it. A run cut short is completed
// by the next rewrite in place or undone by restoreInPlace, each after proving what the clip's marker
// and record say (in_place_proof.h); a failure undoes what was done. The clip keeps its inode, owner,
// permission bits, extended attributes, links and times.
//
// Both take the clip open and locked for writing (LockedClip, ClipUse::rewrite), so that no other run
// of the program writes it meanwhile; where the file system takes no locks they refuse.
#pragma once

#include <vector>

#include "media/base/export_job.h"
#include "media/files/locked_clip.h"
#include "media/sony/sidecar.h"
#include "platform/error.h"

namespace kelvatta {

// Rewrites the clip in place with the metadata items (as the export does). An export error of kind
// notInPlace, saying why, when the clip must be rewritten the ordinary way (its layout, a file system
// without locks, a user who may not set its times); nothing of the clip was changed then.
ErrorOr<void> rewriteInPlace(LockedClip& clip, const std::vector<MetadataItem>& items, ExportControl& control);

// Whether the clip at path carries the marker of a rewrite in place, read without writing or locking
// anything (whether it can be restored is proven once it is locked).
ErrorOr<bool> carriesInPlaceMarker(const std::filesystem::path& path);

// Before a run that is neither a rewrite in place nor a restore reads the clip (held as its mode
// holds it): what the clip says of an earlier rewrite in place, finishing first what an earlier run
// left cut short, as its record proves (a rewrite in place completed, one not yet committed cut off,
// a restore finished with its sidecar) where the clip is held for writing and its times may be set;
// refused otherwise with what to run, nothing changed. clip's status is read again after a change.
ErrorOr<EarlierInPlace> settleEarlierInPlace(LockedClip& clip);

// Whether the clip, as held, carries what an earlier rewrite in place or restore left cut short, for
// settleEarlierInPlace to finish.
ErrorOr<bool> leftToFinish(const LockedClip& clip);

struct Restored {
    SidecarOutcome sidecar;  // the sidecar counted from the clip's own start again
};

// Gives back the original of a clip rewritten in place, byte for byte (checked against the record's
// hash before anything is written, and again after) and with its modification time, and its sidecar
// counted from the clip's own start again, before the record is cut off. Nothing for a file that
// carries no marker (nothing is done to it). A record that does not hold, data another program
// appended after the rewrite, a user who may not set the clip's times, too little space for the
// blocks it writes: refused, nothing changed. Cut short anywhere, the next run finishes it.
ErrorOr<std::optional<Restored>> restoreInPlace(LockedClip& clip);

}  // namespace kelvatta
