#include "media/plan/earlier_result.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>
#include <span>
#include <variant>

#include "media/base/media_error.h"
#include "media/boxes/quicktime_meta.h"
#include "media/files/fd_source.h"
#include "media/plan/moov_difference.h"
#include "media/plan/output_check.h"
#include "media/boxes/box_texts.h"
#include "platform/checked.h"
#include "platform/sys.h"
#include "media/plan/plan_texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;
using Kind = CopyDifference::Kind;

// Bytes compared at each end of a sampled chunk, and how much of a track's data one sampled chunk
// stands for. A 100 GB clip costs some 400 pairs of 64 KiB reads in each file (see the README's
// performance section).
constexpr uint64_t kEdgeBytes = 64u << 10;
constexpr uint64_t kBytesPerSample = 256ull << 20;

// A status, nothing where there is no such file; an error for any other failure (what cannot be read
// is not taken for a copy, nor for the absence of one).
ErrorOr<std::optional<struct stat>> statusOf(const fs::path& path)
{
    auto status = sys::lstat(path.string());
    if (!status.isError()) return std::optional<struct stat>(*status);
    if (errnoOf(status.error()) == ENOENT) return std::optional<struct stat>();
    return fileError(FileAction::read, path, errnoOf(status.error()));
}

// The result as planned where its bytes are the clip's: each copied box, with the patches over it.
class PlannedData {
public:
    PlannedData(const OutputPlan& plan, ByteSource& clip) : plan_(plan), clip_(clip) {}

    // The copied box holding the output's bytes [offset, offset + size), nothing where none holds
    // them all.
    const DataPlacement* placementOf(uint64_t offset, uint64_t size) const
    {
        const auto it = std::upper_bound(plan_.data.begin(), plan_.data.end(), offset,
                                         [](uint64_t o, const DataPlacement& d) { return o < d.outputOffset; });
        if (it == plan_.data.begin()) return nullptr;
        const DataPlacement& d = *std::prev(it);
        const uint64_t into = offset - d.outputOffset;
        return into < d.source.size && size <= d.source.size - into ? &d : nullptr;
    }

    // Where the output's offset within d lies in the clip (no overflow: d.source ends in the clip).
    static uint64_t inClip(const DataPlacement& d, uint64_t offset)
    {
        return d.source.offset + (offset - d.outputOffset);
    }

    void prefetch(const DataPlacement& d, uint64_t offset, uint64_t size) { clip_.prefetch(inClip(d, offset), size); }

    // The planned bytes at the output's offset within d.
    ErrorOr<void> read(const DataPlacement& d, uint64_t offset, std::span<uint8_t> out)
    {
        if (KV_TRY(clip_.readAt(out.data(), out.size(), inClip(d, offset))) != out.size())
            return damaged(Damage::fileShrank, box_texts::fileShrank());
        const uint64_t end = offset + out.size();
        const uint64_t from = offset > kMaxPatchSize ? offset - kMaxPatchSize : 0;
        auto patch = std::lower_bound(plan_.patches.begin(), plan_.patches.end(), from,
                                      [](const Patch& p, uint64_t o) { return p.offset < o; });
        for (; patch != plan_.patches.end() && patch->offset < end; ++patch) {
            for (uint64_t i = 0; i < patch->size; ++i) {
                const uint64_t at = patch->offset + i;
                if (at >= offset && at < end) out[at - offset] = patch->bytes[i];
            }
        }
        return {};
    }

private:
    const OutputPlan& plan_;
    ByteSource& clip_;
};

// A part of the output to compare: [offset, offset + size), within the copied box d, in a track.
struct Sampled {
    const DataPlacement* d = nullptr;
    uint64_t offset = 0;
    uint64_t size = 0;
    size_t track = SIZE_MAX;
};

// Compares the copy with the plan over each part (asked of both disks at once, then read in turn);
// calls mismatch with the first part that differs and the copy's bytes there.
ErrorOr<FoundDifference> compareParts(ByteSource& copy, PlannedData& planned, const std::vector<Sampled>& parts,
                                      const std::function<FoundDifference(const Sampled&, ByteSpan)>& mismatch)
{
    for (const Sampled& part : parts) {
        copy.prefetch(part.offset, part.size);
        planned.prefetch(*part.d, part.offset, part.size);
    }
    Bytes mine, theirs;
    for (const Sampled& part : parts) {
        mine.resize(part.size);
        theirs.resize(part.size);
        KV_TRY(planned.read(*part.d, part.offset, theirs));
        if (KV_TRY(copy.readAt(mine.data(), mine.size(), part.offset)) != mine.size() || mine != theirs)
            return mismatch(part, mine);
    }
    return FoundDifference();
}

// Every block of the output holding a re-based timecode (as far as it lies in one copied box): the
// timecode, and whatever else of its sample and its neighbours' the block holds. A difference is the
// timecode's track's: its timecode where one of the block's patches reads otherwise, else its samples.
ErrorOr<FoundDifference> compareTimecodeBlocks(ByteSource& copy, PlannedData& planned,
                                               const std::vector<Patch>& patches)
{
    std::vector<Sampled> blocks;
    for (const Patch& patch : patches) {
        const DataPlacement* d = planned.placementOf(patch.offset, patch.size);
        if (!d) return differs(Kind::layout);
        // No overflow: the patch lies in the copied box, which lies in a file.
        const uint64_t from = std::max(patch.offset / kBlockSize * kBlockSize, d->outputOffset);
        const uint64_t to = std::min((patch.offset + patch.size + kBlockSize - 1) / kBlockSize * kBlockSize,
                                     d->outputOffset + d->source.size);
        if (!blocks.empty() && blocks.back().d == d && from < blocks.back().offset + blocks.back().size) {
            blocks.back().size = std::max(blocks.back().offset + blocks.back().size, to) - blocks.back().offset;
            continue;
        }
        blocks.push_back({d, from, to - from, patch.track});
    }
    return compareParts(copy, planned, blocks, [&](const Sampled& block, ByteSpan mine) {
        auto patch = std::lower_bound(patches.begin(), patches.end(), block.offset,
                                      [](const Patch& p, uint64_t o) { return p.offset < o; });
        for (; patch != patches.end() && patch->offset < block.offset + block.size; ++patch) {
            if (!std::equal(patch->span().begin(), patch->span().end(),
                            mine.begin() + static_cast<std::ptrdiff_t>(patch->offset - block.offset)))
                return differsIn(Kind::trackTimecode, patch->track);
        }
        return differsIn(Kind::trackSamples, block.track);
    });
}

// Each track's first and last chunk and one chunk per kBytesPerSample of its data, at both ends;
// and the header of each copied box.
ErrorOr<FoundDifference> compareSampledChunks(ByteSource& copy, PlannedData& planned, const OutputPlan& plan,
                                              const Movie& movie)
{
    std::vector<Sampled> parts;
    for (const DataPlacement& d : plan.data) {
        // A trailer has no header: its first and last bytes instead.
        const uint64_t edge = d.source.type == kTrailer ? std::min(d.source.size, kEdgeBytes) : d.source.headerSize;
        parts.push_back({&d, d.outputOffset, edge});
        if (d.source.type == kTrailer && d.source.size > edge)
            parts.push_back({&d, d.outputOffset + d.source.size - edge, edge});
    }
    const uint64_t headSize = plan.writes.front().bytes.size();
    for (size_t t = 0; t < movie.tracks.size(); ++t) {
        uint64_t seen = 0;
        uint64_t next = 0;
        std::optional<ChunkRange> last, sampled;
        const auto sample = [&](const ChunkRange& chunk) -> ErrorOr<void> {
            sampled = chunk;
            const DataPlacement* d = planned.placementOf(chunk.offset, chunk.size);
            const auto end = checkedAdd(chunk.offset, chunk.size);
            // The added timecode track's sample lies in the head, which is compared whole.
            if (!d && end && *end <= headSize) return {};
            if (!d) return damaged(Damage::sampleOutsideMdat, plan_texts::sampleOutsideMdat());
            const uint64_t edge = std::min(chunk.size, kEdgeBytes);
            parts.push_back({d, chunk.offset, edge, t});
            if (chunk.size > edge) parts.push_back({d, chunk.offset + chunk.size - edge, edge, t});
            return {};
        };
        KV_TRY(visitChunks(movie, movie.tracks[t], [&](const ChunkRange& chunk) -> ErrorOr<void> {
            if (seen >= next) {
                KV_TRY(sample(chunk));
                next = checkedAdd(seen, kBytesPerSample).value_or(UINT64_MAX);
            }
            seen = checkedAdd(seen, chunk.size).value_or(UINT64_MAX);
            last = chunk;
            return {};
        }));
        if (last && last->offset != sampled->offset) KV_TRY(sample(*last));
    }
    std::sort(parts.begin(), parts.end(), [](const Sampled& a, const Sampled& b) { return a.offset < b.offset; });
    return compareParts(copy, planned, parts, [](const Sampled& part, ByteSpan) {
        return part.track == SIZE_MAX ? differs(Kind::layout) : differsIn(Kind::trackSamples, part.track);
    });
}

// Whether the top-level boxes of the copy but its moov, media data and trailer (the camera's boxes, its
// XML, a box another program added) are not those the head plans, in order and byte for byte.
ErrorOr<bool> ownBoxesDiffer(ByteSource& copy, const std::vector<Box>& copyBoxes, ByteSpan head)
{
    const auto own = [](const Box& box) {
        for (uint32_t type : {fourcc("moov"), fourcc("mdat"), fourcc("free"), fourcc("skip"), fourcc("wide"), kTrailer})
            if (box.type == type) return false;
        return true;
    };
    std::vector<Box> planned;
    for (const Box& box : KV_TRY(boxesBetween(head, 0, head.size())))
        if (own(box)) planned.push_back(box);
    size_t k = 0;
    for (const Box& box : copyBoxes) {
        if (!own(box)) continue;
        if (k == planned.size() || box.type != planned[k].type || box.size != planned[k].size ||
            !KV_TRY(readsBackAs(copy, box.offset, bytesOf(head, planned[k]))))
            return true;
        ++k;
    }
    return k != planned.size();
}

// What of the box path's result the file at the output does not hold (see keepBoxEarlierResult);
// nothing where it holds it all.
ErrorOr<FoundDifference> proveBoxResult(const ExportJob& job, const FileAtOutput& file, ByteSource& clip,
                                        const OutputPlan& plan)
{
    const Movie& movie = file.content.movie;
    auto item = movieItemValue(movie, "timecode");
    if (notReadAsMovie(item)) return differs(Kind::notAVideo);
    if (item.isError()) return item.releaseError();
    if (*item != (plan.timecode ? std::optional<std::string>(plan.startText) : std::nullopt))
        return differs(Kind::otherStart);

    // The head: moov as planned, at its planned place, and what lies around it.
    const ByteSpan head = plan.writes.front().bytes;
    const ByteSpan plannedMoov = head.subspan(plan.moovOffset, plan.moovSize);
    const bool sameMoov = std::ranges::equal(plannedMoov, bytesOf(movie.moov, movie.box));
    if (!sameMoov)
        if (const FoundDifference found = KV_TRY(moovDifference(plannedMoov, movie.moov, movie.box))) return found;
    FdSource copy(file.fd.get(), static_cast<uint64_t>(file.status.st_size), job.output);
    if (KV_TRY(ownBoxesDiffer(copy, file.content.topLevel, head))) return differs(Kind::movieMetadata);
    const auto moov = std::ranges::find(file.content.topLevel, fourcc("moov"), &Box::type);
    const uint64_t moovEnd = plan.moovOffset + plan.moovSize;
    if (!sameMoov || moov == file.content.topLevel.end() || moov->offset != plan.moovOffset ||
        !KV_TRY(readsBackAs(copy, 0, head.first(plan.moovOffset))) ||
        !KV_TRY(readsBackAs(copy, moovEnd, head.subspan(moovEnd))))
        return differs(Kind::layout);
    if (copy.size() != plan.fileSize) return differs(Kind::layout);
    for (size_t i = 1; i < plan.writes.size(); ++i)
        if (!KV_TRY(readsBackAs(copy, plan.writes[i].offset, plan.writes[i].bytes))) return differs(Kind::layout);

    // The media data: the clip's, where the plan put it.
    PlannedData planned(plan, clip);
    if (const FoundDifference found = KV_TRY(compareTimecodeBlocks(copy, planned, plan.patches))) return found;
    return compareSampledChunks(copy, planned, plan, movie);
}

// What is at the output's name: nothing, a file that cannot be the clip's result and why, or a movie
// to prove against the clip.
using AtOutput = std::variant<std::monostate, CopyDifference, FileAtOutput>;

ErrorOr<AtOutput> findAtOutput(const ExportJob& job, const fs::path& output)
{
    if (job.realOutputFolder) {
        const auto folder = KV_TRY(statusOf(output.parent_path()));
        if (!folder || !S_ISDIR(folder->st_mode)) return AtOutput();
    }
    const auto named = KV_TRY(statusOf(output));
    if (!named) return AtOutput();
    if (!S_ISREG(named->st_mode)) return AtOutput(CopyDifference{Kind::notAFile});
    FileAtOutput file;
    file.fd = KV_TRY(openClip(output, O_RDONLY));
    file.status = KV_TRY(onFile(sys::fstat(file.fd.get()), FileAction::read, output));
    if (!sameFile(file.status, *named)) return AtOutput(CopyDifference{Kind::changedWhileRead});
    FdSource reader(file.fd.get(), static_cast<uint64_t>(file.status.st_size), output);
    auto content = probeBoxContent(reader);
    if (content.isError() && !notReadAsMovie(content)) return content.releaseError();
    if (content.isError() || !*content) return AtOutput(CopyDifference{Kind::notAVideo});
    file.content = std::move(**content);
    return AtOutput(std::move(file));
}

// true where nothing differs and the file is still the one read under its name, else the refusal.
ErrorOr<bool> keptOrRefused(const fs::path& output, const FileAtOutput& file, FoundDifference difference)
{
    if (!difference) {
        const auto now = KV_TRY(onFile(sys::fstat(file.fd.get()), FileAction::read, output));
        const auto named = KV_TRY(statusOf(output));
        if (!sameFile(now, file.status) || !named || !sameFile(*named, file.status))
            difference = differs(Kind::changedWhileRead);
    }
    if (difference) return notEarlierResult(output, *difference);
    return true;
}

}  // namespace

ErrorOr<bool> keepEarlierResult(const ExportJob& job, const fs::path& output,
                                const std::function<ErrorOr<FoundDifference>(const FileAtOutput&)>& prove)
{
    AtOutput found = KV_TRY(findAtOutput(job, output));
    if (std::holds_alternative<std::monostate>(found)) return false;
    if (const auto* difference = std::get_if<CopyDifference>(&found)) return notEarlierResult(output, *difference);
    const FileAtOutput& file = std::get<FileAtOutput>(found);
    return keptOrRefused(output, file, KV_TRY(prove(file)));
}

ErrorOr<bool> keepBoxEarlierResult(const ExportJob& job, const LockedClip& clip, const OutputPlan& plan)
{
    return keepEarlierResult(job, job.output, [&](const FileAtOutput& file) -> ErrorOr<FoundDifference> {
        FdSource reader(clip.fd(), static_cast<uint64_t>(clip.status().st_size), job.source);
        auto proof = proveBoxResult(job, file, reader, plan);
        if (proof.isError()) return inSourceFile(proof.releaseError(), job.source);
        return proof;
    });
}

}  // namespace kelvatta
