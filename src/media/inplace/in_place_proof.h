// Proving, before a rewrite in place is completed or undone, that what the clip says of it holds. A
// clip carries a marker and a record (undo_record.h) that any program could have damaged since, and
// a forged one could point the program at media data: nothing is written or cut on what they say
// until it has been checked against the clip as it is now.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "media/boxes/box_reader.h"
#include "media/inplace/undo_record.h"

namespace kelvatta {

// What a clip's trace of a rewrite in place allows.
enum class TraceState {
    recorded,   // a record that was committed before anything of the original changed: complete or undo by it
    restoring,  // the same, and a restore began undoing it: only undone
    cutShort,   // stopped before its record was committed: nothing of the original changed, cut what was appended
    damaged,    // committed, but the record is gone or broken: which bytes changed cannot be known
};
TraceState traceState(const InPlaceTrace& trace);

// What a patch of the record holds in the clip now.
enum class PatchHolds : uint8_t {
    original,
    rewritten,
    torn,  // some bytes of each: a write cut short at a sector or page boundary
};

struct RecordProof {
    std::vector<PatchHolds> patches;  // per patch of the record
    uint64_t end = 0;                 // where the rewrite's part ends: what follows was put there by another program

    // Whether every patch holds that.
    bool all(PatchHolds holds) const;
};

// Proves a recorded trace: between the marker and the record lie only the boxes the rewrite
// appends; the old moov is where the record says, the only moov before the marker, typed moov or
// free (or torn between them); the patches are in file order, each lies on the timecode of an rtmd
// or tmcd sample, or in the camera XML, of the original that the record describes, and holds its
// original or its new bytes, or each byte one of them (torn); and that original is the one the
// record's hash was taken of. Any failure is an error of kind recordMismatch naming the file at path.
ErrorOr<RecordProof> proveRecord(ByteSource& file, const std::vector<Box>& topLevel, const InPlaceTrace& trace,
                                 const std::filesystem::path& path);

// Proves, before a recorded trace is completed, that what it switches on is what was written and
// checked then: the part appended before the record as the record's hash says, or for older records
// a new moov that parses with every sample in the media data. Errors as proveRecord's.
ErrorOr<void> proveAppended(ByteSource& file, const std::vector<Box>& topLevel, const InPlaceTrace& trace,
                            const std::filesystem::path& path);

// Proves a trace cut short: nothing after the marker but padding, the timecode sample's mdat or
// zeros (no moov switched on), nothing past where the rewrite's part would have ended, and the
// original's moov still the only one before the marker and typed moov. Errors as proveRecord's.
ErrorOr<void> proveCutShort(ByteSource& file, const std::vector<Box>& topLevel, const InPlaceTrace& trace,
                            const std::filesystem::path& path);

// The box moov of file, read as typed moov, parses, and every chunk of it lies whole within one of
// mdats (the media data of the file as it will be).
ErrorOr<void> checkNewMoov(ByteSource& file, const Box& moov, const std::vector<Box>& mdats);

// Why a clip does not hold what its record of a rewrite in place says: the refusal's reason, whose
// sentence in_place_texts.cpp makes.
struct RecordMismatch {
    enum class Kind : uint8_t {
        markerMoved = 1,         // the marker no longer where it says
        recordDamaged,           // the record cannot be read
        appendedSince,           // data appended after the rewrite, which a restore would cut
        bytesOfNeither,          // bytes at offset neither the original nor the rewritten
        anotherMoov,             // a second moov at offset
        otherAppended,           // a box of type among the appended part
        oldMoovMissing,          // no old moov at offset
        newMoovMissing,          // no new moov at offset
        patchesOverlap,          // the record's patches overlap or are out of order
        originalUnreadable,      // the original's top level does not parse (error)
        originalMoovUnreadable,  // the original's moov does not parse (error)
        patchOffTimecodes,       // a patch at offset on no timecode of the original
        hashDiffers,             // the original put back does not give the recorded hash
        newMoovChanged,          // the new moov changed since it was written
        newMoovDamaged,          // the new moov does not parse (error)
        appendedAfterCut,        // a box of type appended after a rewrite cut short
        grownAfterCut,           // the file grown after a rewrite cut short
        newMoovOnRecordDamaged,  // the new moov switched on, its record damaged
        otherAfterMarker,        // a box of type after the marker
        notOriginalMoov,         // the moov before the marker not the original's
    };
    Kind kind{};
    uint64_t offset = 0;  // where it lies, for the kinds of an offset
    uint32_t type = 0;    // the box's type, for the kinds of a box
    std::string error{};  // the check's own sentence, for the kinds of a parse
};

// The refusal of a clip at odds with its record (ExportErrorCode::recordMismatch), the reason's kind as
// the detail; the kind of such a refusal, nothing for any other error.
Error recordMismatch(const std::filesystem::path& path, const RecordMismatch& why);
std::optional<RecordMismatch::Kind> recordMismatchOf(const Error& error);

}  // namespace kelvatta
