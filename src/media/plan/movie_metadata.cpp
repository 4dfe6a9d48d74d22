#include "media/plan/movie_metadata.h"

#include <algorithm>

#include "media/boxes/quicktime_meta.h"
#include "media/boxes/start_timecodes.h"

namespace kelvatta {
namespace {

// Writes the re-based values of found into bytes, whose offset 0 is the text's at; true when any
// value changed.
bool apply(const TextTimecodes& found, Bytes& bytes, uint64_t at)
{
    bool changed = false;
    for (const TextEdit& edit : found.edits) {
        changed = changed || edit.rebased != edit.original;
        std::copy(edit.rebased.begin(), edit.rebased.end(),
                  bytes.begin() + static_cast<std::ptrdiff_t>(at + edit.offset));
    }
    return changed;
}

// The start timecodes of a udta box (within moov): ©TIM among its items, and those of an XMP packet.
ErrorOr<std::optional<Bytes>> rebaseUserData(ByteSpan moov, const Box& udta, const Timecode& start,
                                             std::vector<UnreadTimecode>& leftAlone)
{
    Bytes bytes(moov.begin() + static_cast<std::ptrdiff_t>(udta.offset),
                moov.begin() + static_cast<std::ptrdiff_t>(udta.end()));
    const TextTimecodes items = rebaseUserDataTimecode(payloadOf(moov, udta), start);
    bool changed = apply(items, bytes, udta.headerSize);
    leftAlone.insert(leftAlone.end(), items.leftAlone.begin(), items.leftAlone.end());
    // Children that cannot be told apart hold no XMP this program could find.
    if (auto children = childBoxes(moov, udta); !children.isError()) {
        for (const Box& child : *children) {
            if (child.type != fourcc("XMP_")) continue;
            const ByteSpan text = payloadOf(moov, child);
            const TextTimecodes xmp =
                rebaseXmpTimecodes(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), start);
            if (xmp.refusal) return startRefused(start, *xmp.refusal);
            changed = apply(xmp, bytes, child.payloadOffset() - udta.offset) || changed;
            leftAlone.insert(leftAlone.end(), xmp.leftAlone.begin(), xmp.leftAlone.end());
        }
    }
    return changed ? std::optional<Bytes>(std::move(bytes)) : std::optional<Bytes>();
}

}  // namespace

ErrorOr<MovieMetadata> planMovieMetadata(const Movie& movie, const TopLevelPlan& top,
                                         const std::vector<MetadataItem>& items, const std::optional<Timecode>& start)
{
    MovieMetadata plan;
    if (start) {
        for (const Box& child : KV_TRY(childBoxes(movie.moov, movie.box))) {
            if (child.type != fourcc("udta")) continue;
            if (auto rebased = KV_TRY(rebaseUserData(movie.moov, child, *start, plan.timecodesLeftAlone))) {
                plan.rewritten[child.offset] = std::move(*rebased);
                plan.userDataRebased = true;
            }
        }
    }
    bool merged = items.empty();
    for (const Box& meta : movie.metas) {
        if (std::ranges::find(top.xmlMetasInMoov, meta.offset) != top.xmlMetasInMoov.end()) {
            plan.rewritten[meta.offset] = Bytes();
            continue;
        }
        if (merged) continue;
        if (auto withItems = KV_TRY(mergeQuickTimeMeta(movie.moov, meta, items))) {
            plan.rewritten[meta.offset] = std::move(*withItems);
            plan.itemsHeld = KV_TRY(holdsQuickTimeItems(movie.moov, meta, items));
            merged = true;
        }
    }
    if (!merged) {
        plan.added = KV_TRY(buildQuickTimeMeta(items));
        // A meta this program does not merge into may hold them (libavformat's, in the user data).
        plan.itemsHeld = true;
        for (const MetadataItem& item : items) {
            const std::string_view key = std::string_view(item.identifier).substr(item.identifier.find('/') + 1);
            plan.itemsHeld = plan.itemsHeld && KV_TRY(movieItemValue(movie, key)) == item.value;
        }
    }
    return plan;
}

}  // namespace kelvatta
