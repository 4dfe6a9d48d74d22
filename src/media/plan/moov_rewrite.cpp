#include "media/plan/moov_rewrite.h"

#include <algorithm>

#include "media/base/media_error.h"
#include "media/plan/moov_writer.h"
#include "media/plan/movie_metadata.h"
#include "media/plan/rebase.h"
#include "media/sony/top_level.h"
#include "media/boxes/box_texts.h"
#include "platform/checked.h"
#include "media/plan/plan_texts.h"

namespace kelvatta {
namespace {

constexpr uint64_t kFreeHeaderSize = 8;
constexpr uint64_t kTimecodeSampleBoxSize = 12;  // mdat header + one 4-byte sample

// Places every data box after headSize bytes, keeping each at its source offset modulo kBlockSize.
ErrorOr<OutputPlan> layOut(uint64_t headSize, const std::vector<Box>& boxes)
{
    OutputPlan plan;
    uint64_t cursor = headSize;
    for (const Box& mdat : boxes) {
        const uint64_t want = mdat.offset % kBlockSize;
        uint64_t gap = (want + kBlockSize - cursor % kBlockSize) % kBlockSize;
        if (gap > 0 && gap < kFreeHeaderSize) gap += kBlockSize;
        auto start = checkedAdd(cursor, gap);
        auto end = start ? checkedAdd(*start, mdat.size) : std::nullopt;
        if (!end || *end > uint64_t(INT64_MAX)) return tooLarge(plan_texts::outputTooLarge());
        if (gap > 0) {
            Bytes free;
            ByteWriter w(free);
            w.u32(static_cast<uint32_t>(gap));
            w.type(fourcc("free"));
            plan.writes.push_back({cursor, std::move(free)});
        }
        plan.data.push_back({mdat, *start});
        plan.dataBytes += mdat.size;
        cursor = *end;
    }
    plan.fileSize = cursor;
    return plan;
}

// What both plans are made from: the start asked for, the top level, how the clip counts, the movie's
// metadata (the items written in the clip's notation) and the timecodes re-based to the start (none
// without one).
struct Basis {
    std::optional<StartTimecode> start;
    TopLevelPlan top;
    TimecodeCounting counting;
    MovieMetadata meta;
    Rebased rebased;
    std::string startText;  // the "timecode" item's text

    // Every place of the source reads the start already: nothing to write.
    bool readsStart() const { return start && kelvatta::readsStart(top, meta, rebased); }
};

ErrorOr<Basis> planBasis(const SourceMovie& source, const std::vector<MetadataItem>& items)
{
    Basis basis;
    basis.start = requestedStart(items);
    const auto time = basis.start ? std::optional<Timecode>(basis.start->time) : std::nullopt;
    basis.top = KV_TRY(planTopLevel(source.topLevel, source.movie, source.file, time));
    basis.counting = clipCounting(source.movie, basis.top);
    // A clip whose counting is not known is written as asked.
    const bool dropFrame = basis.counting.valid() ? basis.counting.dropFrame : basis.start && basis.start->dropFrame;
    basis.meta = KV_TRY(planMovieMetadata(source.movie, basis.top, writtenItems(items, dropFrame), time));
    if (basis.start) basis.rebased = KV_TRY(rebaseTimecodes(source, basis.top, *basis.start));
    if (basis.start) basis.startText = basis.start->time.text(dropFrame);
    return basis;
}

}  // namespace

ErrorOr<uint64_t> DataMap::map(uint64_t offset, uint64_t len) const
{
    // The last placement whose payload starts at or before offset (placements are in file order).
    auto it = std::upper_bound(data_.begin(), data_.end(), offset,
                               [](uint64_t o, const DataPlacement& d) { return o < d.source.payloadOffset(); });
    if (it != data_.begin()) {
        const DataPlacement& d = *std::prev(it);
        if (d.source.type == fourcc("mdat") && offset < d.source.end() && len <= d.source.end() - offset)
            return d.outputOffset + (offset - d.source.offset);
    }
    return damaged(Damage::sampleOutsideMdat, plan_texts::dataOutsideMdat(offset));
}

ErrorOr<OutputPlan> planOutput(const SourceMovie& source, const std::vector<MetadataItem>& items)
{
    const Movie& movie = source.movie;
    Basis basis = KV_TRY(planBasis(source, items));
    auto& [start, top, counting, meta, rebased, startText] = basis;
    KV_TRY(checkSamples(movie, top.data, rebased.patches));
    const std::optional<NewTimecodeTrack>& added = rebased.added;
    const bool alreadyAtStart = basis.readsStart();

    // The head as it is written: ftyp and the kept boxes, then each round's moov after them.
    Bytes head = top.ftyp ? *top.ftyp : buildFtyp();
    for (const Bytes& box : top.leading) head.insert(head.end(), box.begin(), box.end());
    const uint64_t leadingSize = head.size();
    uint64_t trailingSize = 0;
    for (const Bytes& box : top.cameraXml) trailingSize += box.size();
    const uint64_t sampleBoxSize = added ? kTimecodeSampleBoxSize : 0;
    // Tables made 64-bit so far. Only ever added to: the moov size is a function of this set, and
    // the data offsets only grow with the moov size, so the loop ends after at most one round per
    // track plus two.
    std::vector<bool> wide(movie.tracks.size(), false);
    uint64_t moovSize = 0;
    for (size_t round = 0; round < 2 * movie.tracks.size() + 4; ++round) {
        const uint64_t headSize = leadingSize + moovSize + trailingSize + sampleBoxSize;
        auto plan = KV_TRY(layOut(headSize, top.data));
        const DataMap map(plan.data);
        head.resize(leadingSize);
        MoovWriter writer(movie, map, wide, added, headSize - sampleBoxSize + 8, meta, head);
        KV_TRY(reserveMoov(head, writer, trailingSize + sampleBoxSize));
        KV_TRY(writer.write());
        const uint64_t written = head.size() - leadingSize;
        for (size_t track : writer.overflowed()) wide[track] = true;
        if (!writer.overflowed().empty() || written != moovSize) {
            moovSize = written;
            continue;
        }

        for (const Bytes& box : top.cameraXml) head.insert(head.end(), box.begin(), box.end());
        if (added) {
            ByteWriter w(head);
            w.open(fourcc("mdat"));
            w.u32(added->firstFrame);
            w.close();
        }
        plan.writes.insert(plan.writes.begin(), OutputWrite{0, std::move(head)});
        plan.patches = std::move(rebased.patches);  // one per frame in a clip with rtmd: moved, not copied
        for (Patch& patch : plan.patches) patch.offset = KV_TRY(map.map(patch.offset, patch.size));
        // Two samples sharing bytes would make the output depend on the order of writing.
        std::sort(plan.patches.begin(), plan.patches.end(),
                  [](const Patch& a, const Patch& b) { return a.offset < b.offset; });
        for (size_t i = 1; i < plan.patches.size(); ++i) {
            const Patch& a = plan.patches[i - 1];
            const Patch& b = plan.patches[i];
            if (b.offset < a.offset + a.size && (b.offset != a.offset || b.span().size() != a.span().size() ||
                                                 !std::equal(a.span().begin(), a.span().end(), b.span().begin())))
                return damaged(Damage::samplesOverlap, plan_texts::timecodeSamplesOverlap());
        }
        plan.moovSize = moovSize;
        plan.moovOffset = leadingSize;
        if (start) plan.timecode = start->time;
        plan.startText = startText;
        plan.counting = rebased.counting;
        plan.rtmdKept = rebased.rtmdKept;
        plan.timecodesLeftAlone = leftAlone(top, meta);
        plan.readsStart = alreadyAtStart;
        return plan;
    }
    return damaged(Damage::tableInvalid, plan_texts::newMoovSizeUnknown());
}

namespace {

std::optional<NotInPlace> notInPlace(NotInPlace::Kind kind, uint32_t type = 0, uint64_t size = 0)
{
    return NotInPlace{kind, type, size};
}

// Why the clip cannot be rewritten in place, or nothing when it can.
ErrorOr<std::optional<NotInPlace>> inPlaceRefusal(const SourceMovie& source, const TopLevelPlan& top)
{
    std::optional<Box> moov;
    uint64_t end = 0;
    for (const Box& box : source.topLevel) {
        if (box.type == fourcc("moov")) moov = box;
        if (box.type == fourcc("ftyp") && !top.ftyp) {
            uint8_t major[4];
            if (KV_TRY(source.file.readAt(major, 4, box.payloadOffset())) != 4)
                return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("ftyp")));
            const uint32_t brand = loadU32(major);
            if (brand != fourcc("mp42") && brand != fourcc("mp41") && brand != fourcc("isom"))
                return notInPlace(NotInPlace::Kind::notMp4Brand, brand);
        }
        end = box.end();
    }
    if (!moov) return damaged(Damage::missingBox, plan_texts::missingMoov());
    // What follows the clip's last box must stay at its end (its owner's software looks for it there),
    // where a rewrite in place appends.
    if (const auto trailer = trailerOf(source.topLevel)) return notInPlace(NotInPlace::Kind::trailer, 0, trailer->size);
    for (const Box& box : source.topLevel) {
        if (box.type == fourcc("mdat") && box.end() > moov->offset) return notInPlace(NotInPlace::Kind::mediaAfterMoov);
        const bool trailing = box.offset > moov->offset;
        const bool keptInPlace = box.type == fourcc("meta") || box.type == fourcc("free") ||
                                 box.type == fourcc("skip") || box.type == fourcc("wide") || box.type == fourcc("uuid");
        if (trailing && !keptInPlace) return notInPlace(NotInPlace::Kind::boxAfterMoov, box.type);
    }
    if (end != source.file.size()) return notInPlace(NotInPlace::Kind::bytesAfterLastBox);
    if (top.xmlInMoov) return notInPlace(NotInPlace::Kind::xmlInMoov);
    uint8_t size[4];
    if (KV_TRY(source.file.readAt(size, 4, moov->offset)) != 4 || loadU32(size) == 0)
        return notInPlace(NotInPlace::Kind::moovSizeUnwritten);
    return std::optional<NotInPlace>();
}

}  // namespace

ErrorOr<std::variant<InPlacePlan, NotInPlace>> planInPlace(const SourceMovie& source,
                                                           const std::vector<MetadataItem>& items, uint64_t appendAt)
{
    using Planned = std::variant<InPlacePlan, NotInPlace>;
    const Movie& movie = source.movie;
    Basis basis = KV_TRY(planBasis(source, items));
    auto& [start, top, counting, meta, rebased, startText] = basis;
    InPlacePlan plan;
    if (basis.readsStart()) {
        plan.readsStart = true;
        return Planned(std::move(plan));
    }
    if (auto refusal = KV_TRY(inPlaceRefusal(source, top))) return Planned(*refusal);

    plan.appendAt = appendAt;
    for (const Box& box : source.topLevel) {
        if (box.type == fourcc("moov")) plan.oldMoov = box;
        if (box.type == fourcc("mdat")) plan.mdats.push_back(box);
    }
    KV_TRY(checkSamples(movie, plan.mdats, rebased.patches));
    // [free padding][mdat: sample] before the new moov, so that it starts on a 4096-byte boundary.
    const uint64_t sampleBoxSize = rebased.added ? kTimecodeSampleBoxSize : 0;
    const auto afterSample = checkedAdd(appendAt, sampleBoxSize);
    if (!afterSample) return tooLarge(plan_texts::fileTooLarge());
    uint64_t gap = (kBlockSize - *afterSample % kBlockSize) % kBlockSize;
    if (gap > 0 && gap < kFreeHeaderSize) gap += kBlockSize;
    const uint64_t sampleBoxAt = appendAt + gap;
    if (rebased.added) plan.mdats.push_back(Box{fourcc("mdat"), sampleBoxAt, kTimecodeSampleBoxSize, 8});
    plan.newMoovOffset = sampleBoxAt + sampleBoxSize;

    // Every chunk stays where it is. The new moov is written where it is appended from.
    std::vector<DataPlacement> identity;
    for (const Box& box : plan.mdats) identity.push_back({box, box.offset});
    const DataMap map(identity);
    const std::vector<bool> wide(movie.tracks.size(), false);
    MoovWriter writer(movie, map, wide, rebased.added, sampleBoxAt + 8, meta, plan.appended);
    KV_TRY(reserveMoov(plan.appended, writer, gap + sampleBoxSize));
    ByteWriter w(plan.appended);
    if (gap > 0) {
        w.u32(static_cast<uint32_t>(gap));
        w.type(fourcc("free"));
        w.zeros(gap - kFreeHeaderSize);
    }
    if (rebased.added) {
        w.open(fourcc("mdat"));
        w.u32(rebased.added->firstFrame);
        w.close();
    }
    const size_t moovAt = plan.appended.size();
    KV_TRY(writer.write());
    if (!writer.overflowed().empty()) return damaged(Damage::tableInvalid, plan_texts::chunkOffsetPastTable());
    storeU32(&plan.appended[moovAt + 4], fourcc("free"));  // switched on once everything else is in place
    plan.newMoovSize = plan.appended.size() - moovAt;

    plan.patches = std::move(rebased.patches);
    plan.rtmdKept = rebased.rtmdKept;
    plan.timecodesLeftAlone = leftAlone(top, meta);
    for (const TextEdit& edit : top.textEdits) addTextPatches(edit, plan.patches);
    // Each camera XML value is one patch of its 8 digits, as records have always listed them.
    const auto span = [](const std::string& text) {
        return ByteSpan(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    for (const TextEdit& edit : top.xmlEdits)
        plan.patches.push_back(makePatch(edit.offset, span(edit.rebased), span(edit.original)));
    std::sort(plan.patches.begin(), plan.patches.end(),
              [](const Patch& a, const Patch& b) { return a.offset < b.offset; });
    return Planned(std::move(plan));
}

Bytes buildFtyp()
{
    Bytes out;
    ByteWriter w(out);
    w.open(fourcc("ftyp"));
    w.type(fourcc("mp42"));
    w.u32(0);
    w.type(fourcc("mp42"));
    w.type(fourcc("isom"));
    w.close();
    return out;
}

}  // namespace kelvatta
