#include "media/inplace/undo_record.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}

#include <algorithm>
#include <cstring>
#include <memory>

#include "media/base/media_error.h"
#include "media/inplace/in_place_texts.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

constexpr char kMarkerMagic[8] = {'K', 'V', 'I', 'N', 'P', 'L', 'C', '2'};
constexpr char kRecordMagic[8] = {'K', 'V', 'U', 'N', 'D', 'O', '0', '2'};
// Those of earlier versions: a marker without the appended part's end and the commitment, a
// record without the hash of the appended part.
constexpr char kMarkerMagicV1[8] = {'K', 'V', 'I', 'N', 'P', 'L', 'C', '1'};
constexpr char kRecordMagicV1[8] = {'K', 'V', 'U', 'N', 'D', 'O', '0', '1'};
constexpr uint64_t kUndoMarkerSizeV1 = 36;
constexpr char kCommitment[kUndoCommitSize] = {'K', 'V', 'C', 'O', 'M', 'M', 'I', 'T'};
constexpr char kRestoring[kUndoCommitSize] = {'K', 'V', 'R', 'E', 'S', 'T', 'O', 'R'};
// A record larger than this is not one of ours: one patch of 19 bytes per frame of a day of 60p
// (kMaxRtmdSamples), with the camera XML's and a timecode track's few, is under 100 MiB.
constexpr uint64_t kMaxRecordSize = 128u << 20;

class Sha256Hasher {
public:
    Sha256Hasher() : sha_(av_sha_alloc(), &av_free)
    {
        if (sha_) av_sha_init(sha_.get(), 256);
    }
    bool ok() const { return sha_ != nullptr; }
    void update(ByteSpan bytes) { av_sha_update(sha_.get(), bytes.data(), bytes.size()); }
    void update(uint64_t v)
    {
        uint8_t b[8];
        storeU32(b, static_cast<uint32_t>(v >> 32));
        storeU32(b + 4, static_cast<uint32_t>(v));
        update(ByteSpan(b, 8));
    }
    Sha256 final()
    {
        Sha256 digest{};
        av_sha_final(sha_.get(), digest.data());
        return digest;
    }

private:
    std::unique_ptr<AVSHA, void (*)(void*)> sha_;
};

bool startsWith(ByteSpan bytes, const char (&magic)[8])
{
    return bytes.size() >= sizeof magic && std::equal(magic, magic + 8, reinterpret_cast<const char*>(bytes.data()));
}

void writeTime(ByteWriter& w, const struct timespec& t)
{
    w.u64(static_cast<uint64_t>(t.tv_sec));
    w.u32(static_cast<uint32_t>(t.tv_nsec));
}

struct timespec readTime(FieldReader& r)
{
    struct timespec t {};
    t.tv_sec = static_cast<time_t>(r.u64());
    t.tv_nsec = static_cast<long>(r.u32());
    return t;
}

ErrorOr<Bytes> readExactly(ByteSource& file, uint64_t offset, uint64_t length)
{
    Bytes bytes(static_cast<size_t>(length));
    if (KV_TRY(file.readAt(bytes.data(), bytes.size(), offset)) != bytes.size())
        return damaged(Damage::recordDamaged, in_place_texts::recordIncomplete());
    return bytes;
}

// The record in a box's payload; nothing when it is not a whole, intact record of ours.
const std::optional<UndoRecord> kNoRecord;
ErrorOr<std::optional<UndoRecord>> parseRecord(ByteSpan payload)
{
    const bool v1 = startsWith(payload, kRecordMagicV1);
    if (payload.size() < sizeof kRecordMagic + 32 || !(v1 || startsWith(payload, kRecordMagic))) return kNoRecord;
    const ByteSpan body = payload.first(payload.size() - 32);
    const Sha256 check = KV_TRY(sha256Of(body));
    if (!std::equal(check.begin(), check.end(), payload.end() - 32)) return kNoRecord;
    FieldReader r(body.subspan(sizeof kRecordMagic));
    UndoRecord record;
    record.originalLength = r.u64();
    record.modified = readTime(r);
    record.oldMoovOffset = r.u64();
    record.newMoovOffset = r.u64();
    for (uint8_t& b : record.originalHash) b = r.u8();
    if (!v1) {
        Sha256 appended;
        for (uint8_t& b : appended) b = r.u8();
        record.appendedHash = appended;
    }
    const uint32_t count = r.u32();
    // Each patch takes at least 11 bytes: no more can be in the payload.
    if (!r.ok() || count > r.remaining() / 11) return kNoRecord;
    record.patches.reserve(count);
    for (uint32_t i = 0; i < count && r.ok(); ++i) {
        Patch patch;
        patch.offset = r.u64();
        patch.size = r.u8();
        if (patch.size == 0 || patch.size > kMaxPatchSize || r.remaining() < 2u * patch.size) return kNoRecord;
        for (uint8_t k = 0; k < patch.size; ++k) patch.original[k] = r.u8();
        for (uint8_t k = 0; k < patch.size; ++k) patch.bytes[k] = r.u8();
        record.patches.push_back(patch);
    }
    if (!r.ok() || r.remaining() != 0) return kNoRecord;
    // Everything it names lies where a rewrite in place puts it: patches and the old moov within the
    // original, the new moov after it.
    const uint64_t length = record.originalLength;
    for (const Patch& patch : record.patches)
        if (patch.offset > length || patch.size > length - patch.offset) return kNoRecord;
    if (record.oldMoovOffset > length || length - record.oldMoovOffset < 8 || record.newMoovOffset < length)
        return kNoRecord;
    return std::optional(std::move(record));
}

// Whether each byte of field is a's or b's: what a write of b over a leaves, cut short anywhere.
bool eachByteOf(ByteSpan field, const char (&a)[kUndoCommitSize], const char (&b)[kUndoCommitSize])
{
    for (size_t i = 0; i < kUndoCommitSize; ++i) {
        if (field[i] != static_cast<uint8_t>(a[i]) && field[i] != static_cast<uint8_t>(b[i])) return false;
    }
    return true;
}

// What a marker's commitment field says. Each of its writes may be torn (a sector or page written
// and the next not): a commitment that became the restore's field in part was being marked by a
// restore that had changed nothing yet; anything else was being committed, the record whole and
// flushed before.
InPlaceTrace::Commitment commitmentOf(ByteSpan field)
{
    if (std::all_of(field.begin(), field.end(), [](uint8_t b) { return b == 0; }))
        return InPlaceTrace::Commitment::none;
    if (startsWith(field, kCommitment)) return InPlaceTrace::Commitment::made;
    if (eachByteOf(field, kCommitment, kRestoring)) return InPlaceTrace::Commitment::restoring;
    return InPlaceTrace::Commitment::torn;
}

// The marker a box is, if it is one.
ErrorOr<std::optional<InPlaceTrace>> readMarker(ByteSource& file, const Box& box)
{
    if (box.type != fourcc("free") || (box.size != kUndoMarkerSize && box.size != kUndoMarkerSizeV1))
        return std::optional<InPlaceTrace>();
    const Bytes bytes = KV_TRY(readExactly(file, box.payloadOffset(), box.payloadSize()));
    const bool v1 = box.size == kUndoMarkerSizeV1;
    if (!startsWith(bytes, v1 ? kMarkerMagicV1 : kMarkerMagic)) return std::optional<InPlaceTrace>();
    FieldReader r(ByteSpan(bytes).subspan(sizeof kMarkerMagic));
    InPlaceTrace trace;
    trace.originalLength = r.u64();
    trace.markerSize = box.size;
    trace.modified = readTime(r);
    if (!v1) {
        trace.appendedEnd = r.u64();
        trace.commitment = commitmentOf(ByteSpan(bytes).subspan(kUndoCommitAt - box.headerSize, kUndoCommitSize));
    }
    if (!r.ok() || trace.originalLength != box.offset || (trace.appendedEnd && *trace.appendedEnd < box.end()))
        return damaged(Damage::markerMoved, in_place_texts::markerMoved());
    return std::optional<InPlaceTrace>(trace);
}

}  // namespace

// A hasher that cannot be had is an error: an all-zero check would be written in a record that never
// verifies, or read as a damaged record.
ErrorOr<Sha256> sha256Of(ByteSpan bytes)
{
    Sha256Hasher hasher;
    if (!hasher.ok()) return outOfMemory();
    hasher.update(bytes);
    return hasher.final();
}

Bytes buildUndoMarker(uint64_t originalLength, const struct stat& original, uint64_t appendedEnd)
{
    Bytes out;
    ByteWriter w(out);
    w.open(fourcc("free"));
    w.text(std::string_view(kMarkerMagic, sizeof kMarkerMagic));
    w.u64(originalLength);
    writeTime(w, original.st_mtim);
    w.u64(appendedEnd);
    w.zeros(kUndoCommitSize);
    w.close();
    return out;
}

ByteSpan undoCommitment() { return ByteSpan(reinterpret_cast<const uint8_t*>(kCommitment), sizeof kCommitment); }
ByteSpan undoRestoring() { return ByteSpan(reinterpret_cast<const uint8_t*>(kRestoring), sizeof kRestoring); }

ErrorOr<Bytes> buildUndoRecord(const UndoRecord& record)
{
    Bytes out;
    ByteWriter w(out);
    w.open(fourcc("free"));
    const size_t bodyAt = out.size();
    w.text(std::string_view(kRecordMagic, sizeof kRecordMagic));
    w.u64(record.originalLength);
    writeTime(w, record.modified);
    w.u64(record.oldMoovOffset);
    w.u64(record.newMoovOffset);
    w.bytes(record.originalHash);
    w.bytes(record.appendedHash.value_or(Sha256{}));
    w.u32(static_cast<uint32_t>(record.patches.size()));
    for (const Patch& patch : record.patches) {
        w.u64(patch.offset);
        w.u8(patch.size);
        w.bytes(patch.originalSpan());
        w.bytes(patch.span());
    }
    const Sha256 check = KV_TRY(sha256Of(ByteSpan(out).subspan(bodyAt)));
    w.bytes(check);
    w.close();
    return out;
}

ErrorOr<std::optional<InPlaceTrace>> findInPlaceTrace(ByteSource& file, const std::vector<Box>& topLevel)
{
    std::optional<InPlaceTrace> trace;
    for (const Box& box : topLevel) {
        trace = KV_TRY(readMarker(file, box));
        if (trace) break;
    }
    if (!trace) return trace;
    // The record: the first whole, intact one after the marker (the last box of what was appended,
    // which ends where the marker says).
    for (const Box& box : topLevel) {
        if (box.offset <= trace->originalLength || box.type != fourcc("free") || box.size > kMaxRecordSize ||
            box.payloadSize() < sizeof kRecordMagic)
            continue;
        if (trace->appendedEnd && box.end() != *trace->appendedEnd) continue;
        const Bytes magic = KV_TRY(readExactly(file, box.payloadOffset(), sizeof kRecordMagic));
        if (!startsWith(magic, kRecordMagic) && !startsWith(magic, kRecordMagicV1)) continue;
        auto record = KV_TRY(parseRecord(KV_TRY(readExactly(file, box.payloadOffset(), box.payloadSize()))));
        if (!record || record->originalLength != trace->originalLength) continue;
        trace->record = std::move(record);
        trace->recordOffset = box.offset;
        trace->recordEnd = box.end();
        break;
    }
    return trace;
}

ErrorOr<Sha256> hashTouchedBytes(ByteSource& file, uint64_t length, const std::vector<Patch>& patches,
                                 uint64_t tailFrom, bool originals)
{
    Sha256Hasher hasher;
    if (!hasher.ok()) return outOfMemory();
    hasher.update(length);
    for (const Patch& patch : patches) {
        hasher.update(patch.offset);
        if (originals) hasher.update(patch.originalSpan());
        else hasher.update(KV_TRY(readExactly(file, patch.offset, patch.size)));
    }
    if (tailFrom > length) return damaged(Damage::recordDamaged, in_place_texts::recordInvalid());
    constexpr uint64_t kPiece = 1u << 20;
    for (uint64_t at = tailFrom; at < length; at += kPiece)
        hasher.update(KV_TRY(readExactly(file, at, std::min(kPiece, length - at))));
    return hasher.final();
}

ErrorOr<Sha256> hashAppended(ByteSource& file, uint64_t from, uint64_t to, uint64_t typeAt)
{
    Sha256Hasher hasher;
    if (!hasher.ok()) return outOfMemory();
    constexpr uint64_t kPiece = 1u << 20;
    for (uint64_t at = from; at < to; at += kPiece) {
        Bytes piece = KV_TRY(readExactly(file, at, std::min(kPiece, to - at)));
        // The type field, wherever it falls in the pieces, read as written.
        uint8_t free[4];
        storeU32(free, fourcc("free"));
        for (uint64_t k = 0; k < 4; ++k) {
            const uint64_t byte = typeAt + 4 + k;
            if (byte >= at && byte < at + piece.size()) piece[byte - at] = free[k];
        }
        hasher.update(piece);
    }
    return hasher.final();
}

}  // namespace kelvatta
