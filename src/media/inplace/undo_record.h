// What a rewrite in place keeps inside the clip so the camera's original can be given back byte for
// byte: boxes that readers skip (free).
//
// A marker right after the original's last byte says where the original ended, its modification
// time, where what the rewrite appends ends, and whether the record is committed: written, flushed
// and read back before any byte of the original was changed. A restore writes over the commitment
// before its own first change, so that a restore cut short is finished by the next run, whatever
// mode it is, rather than completed back into the rewrite. The record, the last box the rewrite
// appends, lists every original byte that is written over (with its new value), the offsets of the
// old and the new moov, a SHA-256 of the original bytes of everything the rewrite touches (taken
// before it touched anything: each patch's original bytes and the original's tail from its moov on)
// and a SHA-256 of what it appended before the record (the new moov among it, as written: typed free).
//
// Clips rewritten before the marker said its end and commitment carry a shorter marker (and a
// record without the hash of the appended part); they are read as well.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "media/boxes/box_reader.h"
#include "media/plan/moov_rewrite.h"

namespace kelvatta {

using Sha256 = std::array<uint8_t, 32>;

struct UndoRecord {
    uint64_t originalLength = 0;
    struct timespec modified {};
    uint64_t oldMoovOffset = 0;  // switched off: its type becomes free
    uint64_t newMoovOffset = 0;  // switched on: its type becomes moov
    std::vector<Patch> patches;  // in file order, none overlapping another
    Sha256 originalHash{};
    std::optional<Sha256> appendedHash;  // records of earlier versions have none
};

// Where the marker's commitment lies within it, and how long it is.
inline constexpr uint64_t kUndoMarkerSize = 52;
inline constexpr uint64_t kUndoCommitAt = 44;
inline constexpr uint64_t kUndoCommitSize = 8;

// The marker box written at the original's end (first of what is appended), not yet committed;
// appendedEnd is the file's length once everything is appended.
Bytes buildUndoMarker(uint64_t originalLength, const struct stat& original, uint64_t appendedEnd);
// The bytes that commit a marker, written at its offset + kUndoCommitAt.
ByteSpan undoCommitment();
// The bytes that say a restore has begun, written there over the commitment.
ByteSpan undoRestoring();
// The record box, written last. appendedHash is set.
ErrorOr<Bytes> buildUndoRecord(const UndoRecord& record);

// What a clip says of an earlier rewrite in place, from its top-level boxes.
struct InPlaceTrace {
    enum class Commitment {
        none,       // the marker says nothing of the original was changed yet
        made,       // the record was whole and flushed before anything of the original was changed
        torn,       // neither: the commitment was being written when the run stopped (the record is whole)
        restoring,  // a restore began undoing it (or was writing that it had, when it stopped)
        unknown,    // a marker of an earlier version, which does not say
    };
    uint64_t originalLength = 0;  // where the marker lies
    uint64_t markerSize = 0;
    struct timespec modified {};
    std::optional<uint64_t> appendedEnd;  // where what the rewrite appends ends (unknown for earlier markers)
    Commitment commitment = Commitment::unknown;
    std::optional<UndoRecord> record;  // nothing when no whole, intact record is there
    uint64_t recordOffset = 0;         // of the record's box, when there is one
    uint64_t recordEnd = 0;
};

// Nothing when the clip carries no marker. An error for a marker that cannot be right. Whether the
// rest holds is for the caller to prove (see in_place.cpp).
ErrorOr<std::optional<InPlaceTrace>> findInPlaceTrace(ByteSource& file, const std::vector<Box>& topLevel);

// The SHA-256 of bytes: a record's own check, the last 32 bytes of its box.
ErrorOr<Sha256> sha256Of(ByteSpan bytes);

// The hash kept in a record: over the length, each patch's offset and file's bytes there, and file's
// bytes from tailFrom to length. With originals, each patch's original bytes as the record holds them.
ErrorOr<Sha256> hashTouchedBytes(ByteSource& file, uint64_t length, const std::vector<Patch>& patches,
                                 uint64_t tailFrom, bool originals = false);

// The hash of file's bytes in [from, to), the 4 bytes at typeAt read as free: what a record keeps of
// the part appended before it, the new moov (at typeAt) as it was written.
ErrorOr<Sha256> hashAppended(ByteSource& file, uint64_t from, uint64_t to, uint64_t typeAt);

}  // namespace kelvatta
