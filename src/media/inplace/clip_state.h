// What a clip says of an earlier rewrite in place, read once before any run writes it: every mode
// (the ordinary rewrite, a copy, a rewrite in place, a restore) and `--show` act on this one reading,
// so that none of them takes a clip another left half done for a clip of its own.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "media/base/byte_source.h"
#include "media/inplace/in_place_proof.h"
#include "media/inplace/undo_record.h"

namespace kelvatta {

enum class InPlaceState {
    none,           // no trace of a rewrite in place
    complete,       // rewritten in place, every step done; its record gives the original back
    notCommitted,   // a rewrite in place cut short before its record was committed: nothing of the original
                    // changed, what it appended is to be cut off
    cutShort,       // a rewrite in place cut short after its commitment: part way through its patches, between
                    // its two moov switches, or before the clip's time was set; completed or undone by the record
    restoring,      // a restore cut short: finished by the record
    recordDamaged,  // committed, but the record is gone or broken: which bytes changed cannot be known
    changedSince,   // the record does not hold for the clip: another program changed it since
};

struct ClipStateReading {
    InPlaceState state = InPlaceState::none;
    std::vector<Box> topLevel;
    std::optional<InPlaceTrace> trace;  // where the clip carries a marker
    std::optional<RecordProof> proof;   // for complete, cutShort and restoring
    std::optional<Error> mismatch;      // for changedSince: how the record does not hold
};

// Reads the clip's state from file (the clip as it is, status its fstat). Errors: what cannot be
// read (naming path), a file whose top level does not parse.
ErrorOr<ClipStateReading> readClipState(ByteSource& file, const struct stat& status, const std::filesystem::path& path);

// Whether a run that is not itself a rewrite in place or a restore must first finish what an earlier
// one began before it reads the clip: its record proves the way, and nothing else may read the clip
// as it is (half patched, two moov boxes, appended boxes that are not the clip's).
bool needsFinishing(InPlaceState state);

}  // namespace kelvatta
