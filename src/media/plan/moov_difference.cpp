#include "media/plan/moov_difference.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace kelvatta {
namespace {

// How two tracks differ, from least to most.
enum class Part : uint8_t {
    same,
    chunkOffsets,  // only where the chunks lie
    description,   // what describes the samples: headers, edit list, handler, sample descriptions
    samples,       // the samples themselves: their number, sizes, times, sync samples, chunks
};

bool isChunkTable(uint32_t type) { return type == fourcc("stco") || type == fourcc("co64"); }

// The containers walked into: trak, mdia, minf and stbl, each in the one before (the depth is fixed).
bool walkedInto(uint32_t parent, uint32_t child)
{
    return (parent == fourcc("trak") && child == fourcc("mdia")) ||
           (parent == fourcc("mdia") && child == fourcc("minf")) ||
           (parent == fourcc("minf") && child == fourcc("stbl"));
}

bool sameBytes(ByteSpan a, const Box& x, ByteSpan b, const Box& y)
{
    return std::ranges::equal(bytesOf(a, x), bytesOf(b, y));
}

uint32_t entryCount(ByteSpan buffer, const Box& table)
{
    return table.payloadSize() >= 8 ? loadU32(&buffer[table.payloadOffset() + 4]) : 0;
}

ErrorOr<Part> trackDifference(ByteSpan a, const Box& trakA, ByteSpan b, const Box& trakB)
{
    Part found = Part::same;
    const auto note = [&](Part part) { found = std::max(found, part); };
    std::vector<std::pair<Box, Box>> todo{{trakA, trakB}};
    while (!todo.empty()) {
        const auto [x, y] = todo.back();
        todo.pop_back();
        // In stbl, every box but the sample descriptions is a table of the samples.
        const auto partOf = [&](uint32_t type) {
            return x.type == fourcc("stbl") && type != fourcc("stsd") ? Part::samples : Part::description;
        };
        const auto xs = KV_TRY(childBoxes(a, x));
        const auto ys = KV_TRY(childBoxes(b, y));
        if (xs.size() != ys.size()) note(x.type == fourcc("stbl") ? Part::samples : Part::description);
        for (size_t k = 0; k < std::min(xs.size(), ys.size()); ++k) {
            const uint32_t type = xs[k].type;
            if (isChunkTable(type) && isChunkTable(ys[k].type)) {
                if (entryCount(a, xs[k]) != entryCount(b, ys[k])) note(Part::samples);
                else if (!sameBytes(a, xs[k], b, ys[k])) note(Part::chunkOffsets);
            } else if (type != ys[k].type) {
                note(std::max(partOf(type), partOf(ys[k].type)));
            } else if (walkedInto(x.type, type)) {
                todo.emplace_back(xs[k], ys[k]);
            } else if (!sameBytes(a, xs[k], b, ys[k])) {
                note(partOf(type));
            }
        }
    }
    return found;
}

}  // namespace

ErrorOr<FoundDifference> moovDifference(ByteSpan planned, ByteSpan copy, const Box& copyMoov)
{
    using Kind = CopyDifference::Kind;
    const Box plannedMoov =
        KV_TRY(parseBoxHeader(planned.first(std::min<size_t>(planned.size(), 24)), 0, planned.size(), false));
    std::vector<Box> plannedTracks, copyTracks, plannedOwn, copyOwn;
    for (const Box& box : KV_TRY(childBoxes(planned, plannedMoov)))
        (box.type == fourcc("trak") ? plannedTracks : plannedOwn).push_back(box);
    for (const Box& box : KV_TRY(childBoxes(copy, copyMoov)))
        (box.type == fourcc("trak") ? copyTracks : copyOwn).push_back(box);
    if (plannedTracks.size() != copyTracks.size()) return differs(Kind::otherTracks);

    FoundDifference described;
    for (size_t i = 0; i < plannedTracks.size(); ++i) {
        const Part part = KV_TRY(trackDifference(planned, plannedTracks[i], copy, copyTracks[i]));
        if (part == Part::samples) return differsIn(Kind::trackSamples, i);
        if (part == Part::description && !described) described = differsIn(Kind::trackMetadata, i);
    }
    if (described) return described;
    const bool sameOwn = std::ranges::equal(plannedOwn, copyOwn, [&](const Box& x, const Box& y) {
        return x.type == y.type && sameBytes(planned, x, copy, y);
    });
    if (!sameOwn) return differs(Kind::movieMetadata);
    return FoundDifference();
}

}  // namespace kelvatta
