#include "media/inplace/in_place_proof.h"

#include <algorithm>
#include <cstring>

#include "media/base/media_error.h"
#include "media/boxes/box_texts.h"
#include "media/boxes/moov_model.h"
#include "media/sony/rtmd.h"
#include "media/sony/top_level.h"
#include "media/inplace/in_place_texts.h"
#include "media/plan/plan_texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kMoov = fourcc("moov");
constexpr uint32_t kFree = fourcc("free");
constexpr uint32_t kMdat = fourcc("mdat");
// The mdat a rewrite in place appends holds one timecode sample.
constexpr uint64_t kMaxAppendedMdatSize = 16;

// A type field as a switch between a and b leaves it, a write cut short included: each byte a's or b's.
bool typeBetween(uint32_t type, uint32_t a, uint32_t b)
{
    for (int shift = 0; shift < 32; shift += 8) {
        const uint32_t byte = (type >> shift) & 0xFF;
        if (byte != ((a >> shift) & 0xFF) && byte != ((b >> shift) & 0xFF)) return false;
    }
    return true;
}

// The clip as its record says the original was: the bytes before the marker, with the old moov's
// type read as moov and each patch's original bytes where the patch lies. Patches are in file order.
class OriginalView final : public ByteSource {
public:
    OriginalView(ByteSource& file, uint64_t length, uint64_t moovAt, const std::vector<Patch>& patches)
        : file_(file), length_(length), moovAt_(moovAt), patches_(patches)
    {
    }

    ErrorOr<size_t> readAt(void* buf, size_t len, uint64_t offset) override
    {
        if (offset >= length_) return size_t{0};
        len = static_cast<size_t>(std::min<uint64_t>(len, length_ - offset));
        const size_t n = KV_TRY(file_.readAt(buf, len, offset));
        auto* out = static_cast<uint8_t*>(buf);
        uint8_t type[4];
        storeU32(type, kMoov);
        put(out, n, offset, moovAt_ + 4, ByteSpan(type, 4));
        // The first patch that may reach offset starts at most 8 bytes before it.
        const uint64_t from = offset - std::min<uint64_t>(offset, sizeof(Patch::original));
        auto it = std::lower_bound(patches_.begin(), patches_.end(), from,
                                   [](const Patch& p, uint64_t o) { return p.offset < o; });
        for (; it != patches_.end() && it->offset < offset + n; ++it)
            put(out, n, offset, it->offset, it->originalSpan());
        return n;
    }
    uint64_t size() const override { return length_; }
    void prefetch(uint64_t offset, uint64_t len) override { file_.prefetch(offset, len); }

private:
    // Copies what of piece (lying at pieceAt) falls within the n bytes of out (read at offset).
    static void put(uint8_t* out, size_t n, uint64_t offset, uint64_t pieceAt, ByteSpan piece)
    {
        const uint64_t begin = std::max(offset, pieceAt);
        const uint64_t end = std::min<uint64_t>(offset + n, pieceAt + piece.size());
        if (begin < end) std::memcpy(out + (begin - offset), piece.data() + (begin - pieceAt), end - begin);
    }

    ByteSource& file_;
    uint64_t length_;
    uint64_t moovAt_;
    const std::vector<Patch>& patches_;
};

// Where a rewrite in place may write in the original: the timecode of each rtmd sample, each tmcd
// sample's frame number and the text of the camera XML, as [begin, end) in file order.
ErrorOr<std::vector<std::pair<uint64_t, uint64_t>>> timecodePlaces(ByteSource& original,
                                                                   const std::vector<Box>& topLevel, const Box& moov)
{
    if (moov.size > kMaxMoovSize) return tooLarge(box_texts::tooLarge(kMoov));
    const Movie movie = KV_TRY(parseMovie(KV_TRY(readBox(original, moov))));
    std::vector<std::pair<uint64_t, uint64_t>> places;
    for (const Track& track : movie.tracks) {
        const bool rtmd = track.sampleEntryType == kRtmdSampleEntry;
        if (!rtmd && !track.isTimecode()) continue;
        KV_TRY(visitSamples(movie, track, rtmd ? kMaxRtmdSamples : kMaxTimecodeSamples,
                            [&](const SampleRange& sample) -> ErrorOr<void> {
                                // Within a sample that lies within the file: no overflow.
                                if (sample.offset > original.size() || sample.size > original.size() - sample.offset)
                                    return {};
                                if (rtmd && sample.size >= kRtmdHeadSize)
                                    places.emplace_back(sample.offset + kRtmdTimecodeAt,
                                                        sample.offset + kRtmdTimecodeAt + kRtmdTimecodeSize);
                                else if (!rtmd && sample.size >= 4)
                                    places.emplace_back(sample.offset, sample.offset + 4);
                                return {};
                            }));
    }
    const TopLevelPlan top = KV_TRY(planTopLevel(topLevel, movie, original, std::nullopt));
    places.insert(places.end(), top.xmlTexts.begin(), top.xmlTexts.end());
    std::sort(places.begin(), places.end());
    return places;
}

bool within(const std::vector<std::pair<uint64_t, uint64_t>>& places, const Patch& patch)
{
    auto it = std::upper_bound(places.begin(), places.end(), std::make_pair(patch.offset, UINT64_MAX));
    return it != places.begin() && patch.offset + patch.size <= std::prev(it)->second;
}

// What each patch holds now: its new bytes, its original, or some bytes of each (a write torn at a
// sector or page boundary by a power cut).
ErrorOr<std::vector<PatchHolds>> patchStates(ByteSource& file, const std::vector<Patch>& patches, const fs::path& path)
{
    // One patch per frame, spread over the whole clip: asked for all at once.
    for (const Patch& patch : patches) file.prefetch(patch.offset, patch.size);
    std::vector<PatchHolds> holds;
    holds.reserve(patches.size());
    for (const Patch& patch : patches) {
        uint8_t now[kMaxPatchSize];
        if (KV_TRY(file.readAt(now, patch.size, patch.offset)) != patch.size)
            return damaged(Damage::recordDamaged, in_place_texts::recordShort());
        bool isNew = true, isOriginal = true, eachOfEither = true;
        for (size_t k = 0; k < patch.size; ++k) {
            isNew = isNew && now[k] == patch.bytes[k];
            isOriginal = isOriginal && now[k] == patch.original[k];
            eachOfEither = eachOfEither && (now[k] == patch.bytes[k] || now[k] == patch.original[k]);
        }
        if (!eachOfEither)
            return recordMismatch(path, {.kind = RecordMismatch::Kind::bytesOfNeither, .offset = patch.offset});
        holds.push_back(isNew ? PatchHolds::rewritten : isOriginal ? PatchHolds::original : PatchHolds::torn);
    }
    return holds;
}

// An error of a check, given as the reason of a mismatch.
template <typename T>
ErrorOr<T> asMismatch(ErrorOr<T> outcome, const fs::path& path, RecordMismatch::Kind kind)
{
    if (outcome.isError() && outcome.error().domain == kExportErrorDomain &&
        !isExportError(outcome.error(), ExportErrorCode::recordMismatch))
        return recordMismatch(path, {.kind = kind, .error = outcome.error().localizedDescription});
    return outcome;
}

}  // namespace

Error recordMismatch(const fs::path& path, const RecordMismatch& why)
{
    return exportError(ExportErrorCode::recordMismatch, in_place_texts::recordMismatch(path, why), why.kind);
}

std::optional<RecordMismatch::Kind> recordMismatchOf(const Error& error)
{
    return kindOf<RecordMismatch::Kind>(error, ExportErrorCode::recordMismatch);
}

TraceState traceState(const InPlaceTrace& trace)
{
    switch (trace.commitment) {
    case InPlaceTrace::Commitment::none: return TraceState::cutShort;
    case InPlaceTrace::Commitment::made:
    case InPlaceTrace::Commitment::torn: return trace.record ? TraceState::recorded : TraceState::damaged;
    case InPlaceTrace::Commitment::restoring: return trace.record ? TraceState::restoring : TraceState::damaged;
    case InPlaceTrace::Commitment::unknown: break;
    }
    // An earlier version's marker: its record was made whole before anything of the original changed.
    return trace.record ? TraceState::recorded : TraceState::cutShort;
}

namespace {

// The boxes a recorded rewrite in place names, found among the clip's top level as it says.
struct RecordedBoxes {
    Box oldMoov;
    Box newMoov;
    std::vector<Box> mdats;  // the media data of the clip once rewritten
};

ErrorOr<RecordedBoxes> recordedBoxes(const std::vector<Box>& topLevel, const InPlaceTrace& trace, const fs::path& path)
{
    const UndoRecord& record = *trace.record;
    const uint64_t length = trace.originalLength;
    const uint64_t markerEnd = length + trace.markerSize;
    std::optional<Box> oldMoov, newMoov;
    RecordedBoxes boxes;
    for (const Box& box : topLevel) {
        if (box.offset < length) {
            if (box.offset == record.oldMoovOffset) oldMoov = box;
            else if (box.type == kMoov)
                return recordMismatch(path, {.kind = RecordMismatch::Kind::anotherMoov, .offset = box.offset});
            if (box.type == kMdat) boxes.mdats.push_back(box);
        } else if (box.offset >= markerEnd && box.offset < trace.recordOffset) {
            // What the rewrite appended before its record: padding, the timecode sample, the new moov.
            if (box.offset == record.newMoovOffset) newMoov = box;
            else if (box.type == kMdat && box.size <= kMaxAppendedMdatSize) boxes.mdats.push_back(box);
            else if (box.type != kFree)
                return recordMismatch(path, {.kind = RecordMismatch::Kind::otherAppended, .type = box.type});
        }
    }
    if (!oldMoov || !typeBetween(oldMoov->type, kMoov, kFree))
        return recordMismatch(path, {.kind = RecordMismatch::Kind::oldMoovMissing, .offset = record.oldMoovOffset});
    if (!newMoov || !typeBetween(newMoov->type, kMoov, kFree))
        return recordMismatch(path, {.kind = RecordMismatch::Kind::newMoovMissing, .offset = record.newMoovOffset});
    boxes.oldMoov = *oldMoov;
    boxes.newMoov = *newMoov;
    return boxes;
}

}  // namespace

ErrorOr<RecordProof> proveRecord(ByteSource& file, const std::vector<Box>& topLevel, const InPlaceTrace& trace,
                                 const fs::path& path)
{
    const UndoRecord& record = *trace.record;
    const uint64_t length = trace.originalLength;
    const RecordedBoxes boxes = KV_TRY(recordedBoxes(topLevel, trace, path));
    const Box& oldMoov = boxes.oldMoov;
    for (size_t i = 1; i < record.patches.size(); ++i) {
        const Patch& before = record.patches[i - 1];
        if (record.patches[i].offset < before.offset + before.size)
            return recordMismatch(path, {RecordMismatch::Kind::patchesOverlap});
    }

    // Every patch on a timecode of the original the record describes.
    OriginalView original(file, length, oldMoov.offset, record.patches);
    const auto originalTop = KV_TRY(asMismatch(scanTopLevel(original), path, RecordMismatch::Kind::originalUnreadable));
    const auto places = KV_TRY(
        asMismatch(timecodePlaces(original, originalTop, oldMoov), path, RecordMismatch::Kind::originalMoovUnreadable));
    for (const Patch& patch : record.patches) {
        if (!within(places, patch))
            return recordMismatch(path, {.kind = RecordMismatch::Kind::patchOffTimecodes, .offset = patch.offset});
    }
    RecordProof proof;
    proof.patches = KV_TRY(patchStates(file, record.patches, path));
    const Sha256 hash = KV_TRY(hashTouchedBytes(original, length, record.patches, oldMoov.offset));
    if (hash != record.originalHash) return recordMismatch(path, {RecordMismatch::Kind::hashDiffers});
    proof.end = trace.recordEnd;
    return proof;
}

ErrorOr<void> proveAppended(ByteSource& file, const std::vector<Box>& topLevel, const InPlaceTrace& trace,
                            const fs::path& path)
{
    const UndoRecord& record = *trace.record;
    const RecordedBoxes boxes = KV_TRY(recordedBoxes(topLevel, trace, path));
    if (record.appendedHash) {
        const uint64_t markerEnd = trace.originalLength + trace.markerSize;
        if (KV_TRY(hashAppended(file, markerEnd, trace.recordOffset, boxes.newMoov.offset)) != *record.appendedHash)
            return recordMismatch(path, {RecordMismatch::Kind::newMoovChanged});
        return {};
    }
    return asMismatch(checkNewMoov(file, boxes.newMoov, boxes.mdats), path, RecordMismatch::Kind::newMoovDamaged);
}

bool RecordProof::all(PatchHolds holds) const
{
    return std::ranges::all_of(patches, [&](PatchHolds p) { return p == holds; });
}

ErrorOr<void> proveCutShort(ByteSource& file, const std::vector<Box>& topLevel, const InPlaceTrace& trace,
                            const fs::path& path)
{
    const uint64_t length = trace.originalLength;
    const uint64_t end = trace.appendedEnd.value_or(UINT64_MAX);
    int moovs = 0;
    for (const Box& box : topLevel) {
        if (box.offset < length) {
            moovs += box.type == kMoov;
        } else if (box.offset >= end) {
            return recordMismatch(path, {.kind = RecordMismatch::Kind::appendedAfterCut, .type = box.type});
        } else if (box.offset > length) {
            // Zeros where the run stopped read as a box of type 0 running to the end.
            if (box.type == kMoov) return recordMismatch(path, {RecordMismatch::Kind::newMoovOnRecordDamaged});
            if (box.type != kFree && box.type != 0 && !(box.type == kMdat && box.size <= kMaxAppendedMdatSize))
                return recordMismatch(path, {.kind = RecordMismatch::Kind::otherAfterMarker, .type = box.type});
        }
    }
    if (moovs != 1) return recordMismatch(path, {RecordMismatch::Kind::notOriginalMoov});
    if (file.size() > end) return recordMismatch(path, {RecordMismatch::Kind::grownAfterCut});
    return {};
}

ErrorOr<void> checkNewMoov(ByteSource& file, const Box& moov, const std::vector<Box>& mdats)
{
    if (moov.size > kMaxMoovSize) return tooLarge(plan_texts::newMoovTooLarge());
    Bytes bytes = KV_TRY(readBox(file, moov));
    storeU32(&bytes[4], kMoov);
    const Movie movie = KV_TRY(parseMovie(std::move(bytes)));
    std::vector<DataPlacement> identity;
    for (const Box& box : mdats) identity.push_back({box, box.offset});
    const DataMap map(identity);
    for (const Track& track : movie.tracks) {
        KV_TRY(visitChunks(movie, track, [&](const ChunkRange& chunk) -> ErrorOr<void> {
            KV_TRY(map.map(chunk.offset, std::max<uint64_t>(chunk.size, 1)));
            return {};
        }));
    }
    return {};
}

}  // namespace kelvatta
