#include "media/undo_record.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}

#include <algorithm>
#include <cstring>
#include <memory>

#include "media/media_error.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

constexpr char kMarkerMagic[8] = {'K', 'V', 'I', 'N', 'P', 'L', 'C', '1'};
constexpr char kRecordMagic[8] = {'K', 'V', 'U', 'N', 'D', 'O', '0', '1'};
// A record larger than this is not one of ours (one patch per frame of a day of 60p is ~100 MiB).
constexpr uint64_t kMaxRecordSize = 256u << 20;
constexpr size_t kMaxPatchSize = 8;

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

Sha256 hashOf(ByteSpan bytes)
{
    Sha256Hasher hasher;
    if (!hasher.ok()) return {};
    hasher.update(bytes);
    return hasher.final();
}

ErrorOr<Bytes> readExactly(ByteSource& file, uint64_t offset, uint64_t length)
{
    Bytes bytes(static_cast<size_t>(length));
    if (KV_TRY(file.readAt(bytes.data(), bytes.size(), offset)) != bytes.size()) return damaged("原地修改的记录不完整");
    return bytes;
}

// The record in a box's payload; nothing when it is not a whole, intact record.
std::optional<UndoRecord> parseRecord(ByteSpan payload)
{
    if (payload.size() < sizeof kRecordMagic + 32 ||
        !std::equal(kRecordMagic, kRecordMagic + 8, reinterpret_cast<const char*>(payload.data())))
        return std::nullopt;
    const ByteSpan body = payload.first(payload.size() - 32);
    const Sha256 check = hashOf(body);
    if (!std::equal(check.begin(), check.end(), payload.end() - 32)) return std::nullopt;
    FieldReader r(body.subspan(sizeof kRecordMagic));
    UndoRecord record;
    record.originalLength = r.u64();
    record.modified = readTime(r);
    record.oldMoovOffset = r.u64();
    record.newMoovOffset = r.u64();
    for (uint8_t& b : record.originalHash) b = r.u8();
    const uint32_t count = r.u32();
    // Each patch takes at least 11 bytes: no more can be in the payload.
    if (!r.ok() || count > r.remaining() / 11) return std::nullopt;
    record.patches.reserve(count);
    for (uint32_t i = 0; i < count && r.ok(); ++i) {
        UndoPatch patch;
        patch.offset = r.u64();
        const uint8_t size = r.u8();
        if (size == 0 || size > kMaxPatchSize || r.remaining() < 2u * size) return std::nullopt;
        for (uint8_t k = 0; k < size; ++k) patch.original.push_back(r.u8());
        for (uint8_t k = 0; k < size; ++k) patch.rewritten.push_back(r.u8());
        record.patches.push_back(std::move(patch));
    }
    if (!r.ok() || r.remaining() != 0) return std::nullopt;
    // Everything it names lies where a rewrite in place puts it: patches and the old moov within the
    // original, the new moov after it.
    const uint64_t length = record.originalLength;
    for (const UndoPatch& patch : record.patches)
        if (patch.offset > length || patch.original.size() > length - patch.offset) return std::nullopt;
    if (record.oldMoovOffset > length || length - record.oldMoovOffset < 8 || record.newMoovOffset < length)
        return std::nullopt;
    return record;
}

}  // namespace

Bytes buildUndoMarker(uint64_t originalLength, const struct stat& original)
{
    Bytes out;
    ByteWriter w(out);
    w.open(fourcc("free"));
    w.text(std::string_view(kMarkerMagic, sizeof kMarkerMagic));
    w.u64(originalLength);
    writeTime(w, original.st_mtim);
    w.close();
    return out;
}

Bytes buildUndoRecord(const UndoRecord& record)
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
    w.u32(static_cast<uint32_t>(record.patches.size()));
    for (const UndoPatch& patch : record.patches) {
        w.u64(patch.offset);
        w.u8(static_cast<uint8_t>(patch.original.size()));
        w.bytes(patch.original);
        w.bytes(patch.rewritten);
    }
    const Sha256 check = hashOf(ByteSpan(out).subspan(bodyAt));
    w.bytes(check);
    w.close();
    return out;
}

ErrorOr<std::optional<InPlaceTrace>> findInPlaceTrace(ByteSource& file, const std::vector<Box>& topLevel)
{
    std::optional<InPlaceTrace> trace;
    for (const Box& box : topLevel) {
        if (box.type != fourcc("free") || box.size != kUndoMarkerSize) continue;
        const Bytes bytes = KV_TRY(readExactly(file, box.payloadOffset(), box.payloadSize()));
        if (!std::equal(kMarkerMagic, kMarkerMagic + 8, reinterpret_cast<const char*>(bytes.data()))) continue;
        FieldReader r(ByteSpan(bytes).subspan(sizeof kMarkerMagic));
        InPlaceTrace found;
        found.originalLength = r.u64();
        found.modified = readTime(r);
        if (!r.ok() || found.originalLength != box.offset) return damaged("原地修改的标记与其位置不符");
        trace = found;
        break;
    }
    if (!trace) return trace;
    // After the marker stands only what a rewrite in place appends: free boxes, the mdat of one
    // timecode sample, the new moov, and zeros (a box of type 0) where a run was cut short.
    for (const Box& box : topLevel) {
        if (box.offset <= trace->originalLength) continue;
        const bool ours = box.type == fourcc("free") || box.type == fourcc("moov") || box.type == 0 ||
                          (box.type == fourcc("mdat") && box.size <= 16);
        if (!ours)
            return damaged("原地修改的标记之后有其他数据（" + quotedType(box.type) + "盒子），无法确认哪些是追加的");
    }
    const Box& last = topLevel.back();
    if (last.type == fourcc("free") && last.offset > trace->originalLength && last.size <= kMaxRecordSize) {
        const Bytes payload = KV_TRY(readExactly(file, last.payloadOffset(), last.payloadSize()));
        auto record = parseRecord(payload);
        if (record && record->originalLength == trace->originalLength) trace->record = std::move(record);
    }
    return trace;
}

ErrorOr<Sha256> hashTouchedBytes(ByteSource& file, uint64_t length, const std::vector<UndoPatch>& patches,
                                 uint64_t tailFrom, bool originals)
{
    Sha256Hasher hasher;
    if (!hasher.ok()) return tooLarge("内存不足");
    hasher.update(length);
    for (const UndoPatch& patch : patches) {
        hasher.update(patch.offset);
        if (originals) hasher.update(patch.original);
        else hasher.update(KV_TRY(readExactly(file, patch.offset, patch.original.size())));
    }
    if (tailFrom > length) return damaged("原地修改的记录无效");
    constexpr uint64_t kPiece = 1u << 20;
    for (uint64_t at = tailFrom; at < length; at += kPiece)
        hasher.update(KV_TRY(readExactly(file, at, std::min(kPiece, length - at))));
    return hasher.final();
}

}  // namespace kelvatta
