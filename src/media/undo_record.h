// What a rewrite in place keeps inside the clip so the camera's original can be given back byte for
// byte: two boxes that readers skip (free). A marker right after the original's last byte says where
// the original ended and its modification time; the record, the file's last box, lists every original byte that
// was written over (patches and the old moov's type) with its new value, and a SHA-256 of what the
// rewrite touched, taken before it touched anything: the original bytes of every patch and the
// original's tail from its moov on.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "media/box_reader.h"
#include "media/moov_rewrite.h"

namespace kelvatta {

using Sha256 = std::array<uint8_t, 32>;

// A byte range written over: its original bytes and what they became.
struct UndoPatch {
    uint64_t offset = 0;
    Bytes original;
    Bytes rewritten;
};

struct UndoRecord {
    uint64_t originalLength = 0;
    struct timespec modified {};
    uint64_t oldMoovOffset = 0;  // switched off: its type becomes free
    uint64_t newMoovOffset = 0;  // switched on: its type becomes moov
    std::vector<UndoPatch> patches;
    Sha256 originalHash{};
};

// The marker box written at the original's end (first of what is appended).
Bytes buildUndoMarker(uint64_t originalLength, const struct stat& original);
inline constexpr uint64_t kUndoMarkerSize = 36;
// The record box, written last.
Bytes buildUndoRecord(const UndoRecord& record);

// What a clip says of an earlier rewrite in place, from its top-level boxes.
struct InPlaceTrace {
    uint64_t originalLength = 0;  // where the marker lies
    struct timespec modified {};
    std::optional<UndoRecord> record;  // nothing when the rewrite stopped before the record was whole
};

// Nothing when the clip carries no marker. An error for a marker or record that cannot be right.
ErrorOr<std::optional<InPlaceTrace>> findInPlaceTrace(ByteSource& file, const std::vector<Box>& topLevel);

// The hash kept in a record: over the length, each patch's offset and bytes as read from file (or,
// with originals, its original bytes as the record holds them), and file's bytes from tailFrom to
// length.
ErrorOr<Sha256> hashTouchedBytes(ByteSource& file, uint64_t length, const std::vector<UndoPatch>& patches,
                                 uint64_t tailFrom, bool originals = false);

}  // namespace kelvatta
