#include "media/plan/rebase.h"

#include <algorithm>

#include "media/base/media_error.h"
#include "media/sony/rtmd.h"
#include "media/plan/plan_texts.h"

namespace kelvatta {
namespace {

uint32_t trackIndex(const Movie& movie, const Track& track)
{
    return static_cast<uint32_t>(&track - movie.tracks.data());
}

// Where start, in the clip's counting, lies in the counting of one of its places (a timecode track
// at the video's rate, rtmd counting every frame): the frame number, or the error that says why the
// clip cannot start there.
ErrorOr<TimecodeValue> startIn(const TimecodeCounting& place, const TimecodeCounting& clip, const Timecode& start)
{
    if (const auto value = place.sameFrame(clip, {start, false})) return *value;
    return startRefused(start, *place.refusal(start));
}

// The samples of the source's timecode tracks, re-based so each track's first sample reads the
// requested start. They live in the source's mdat; the new values are written into the output's copy.
// A track whose samples do not count on from the first is refused: re-based from the first, the
// others would keep a jump nobody could place.
ErrorOr<void> rebaseTimecodeTracks(const Movie& movie, ByteSource& source, const TimecodeCounting& clip,
                                   const Timecode& start, Rebased& out)
{
    std::vector<Patch>& patches = out.patches;
    for (const Track& track : movie.tracks) {
        if (!track.isTimecode()) continue;
        out.recounted = out.recounted || track.timecode->countedFrames() != track.timecode->rate.frames;
        const TimecodeSamples read = KV_TRY(readTimecodeSamples(movie, track, source));
        if (read.jump) return timecodeJumped(plan_texts::tmcdTrack(), *read.jump);
        // A sample holds the frame's number in the track's own counting, drop-frame numbers left out.
        const TimecodeCounting counting = track.timecode->counting();
        const uint64_t target = counting.valid() ? *counting.position(KV_TRY(startIn(counting, clip, start)))
                                                 : start.frameNumber(track.timecode->rate.frames);
        const uint32_t first = read.samples.empty() ? 0 : read.samples.front().number;
        for (const TimecodeSample& sample : read.samples) {
            uint8_t frame[4], rebased[4];
            storeU32(frame, sample.number);
            storeU32(rebased,
                     rebaseFrame(sample.number, first, target, track.timecode->flags, counting.framesPerSecond));
            patches.push_back(makePatch(sample.offset, rebased, frame, trackIndex(movie, track)));
        }
    }
    return {};
}

// The rtmd samples' timecodes of one track, re-based so its first recognised sample reads start.
// counting is the clip's (from its XML or timecode track). Samples whose header is not recognised,
// and a track whose values fit no counting of the clip, are left as they are (kept); one whose values
// do not count on frame by frame from the first is refused.
struct RtmdRebased {
    bool dropFrame = false;  // the first sample says drop-frame
    bool kept = false;       // some samples' timecodes are left as the camera wrote them
};

ErrorOr<RtmdRebased> rebaseRtmdTrack(const Movie& movie, const Track& track, ByteSource& source, const Timecode& start,
                                     const TimecodeCounting& clip, std::vector<Patch>& patches)
{
    // Each recognised sample as a patch that writes back what it holds, until the values say how to
    // re-base them: 32 bytes a frame, whatever else is known of it.
    const size_t first = patches.size();
    patches.reserve(first + std::min<uint64_t>(track.sampleCount, kMaxRtmdSamples));
    const RtmdTimecodes read = KV_TRY(readRtmdTimecodes(movie, track, source, clip, [&](const RtmdFrame& frame) {
        const auto bytes = rtmdTimecodeBytes(frame.value);
        patches.push_back(makePatch(frame.offset + kRtmdTimecodeAt, bytes, bytes, trackIndex(movie, track)));
    }));
    const auto found = patches.begin() + static_cast<std::ptrdiff_t>(first);
    RtmdRebased out{read.first && read.first->dropFrame != 0, read.recognised < read.heads};
    if (read.jump) return timecodeJumped("“rtmd”", *read.jump);
    const auto rebase = read.counting ? TimecodeRebase::make(*read.counting, {read.first->time, false},
                                                             KV_TRY(startIn(*read.counting, clip, start)))
                                      : std::nullopt;
    if (!rebase) {
        patches.erase(found, patches.end());
        out.kept = read.heads > 0;
        return out;
    }
    // Samples whose value does not move keep no patch.
    auto kept = found;
    for (auto patch = found; patch != patches.end(); ++patch) {
        const RtmdTimecode value = rtmdTimecodeIn(patch->original.data());
        const auto moved = (*rebase)({value.time, false});
        if (!moved || moved->time == value.time) continue;
        const auto bytes = rtmdTimecodeBytes({moved->time, value.dropFrame});
        std::copy(bytes.begin(), bytes.end(), patch->bytes.begin());
        *kept++ = *patch;
    }
    patches.erase(kept, patches.end());
    return out;
}

// The first video track with samples, and the rate its timecode counts at.
struct VideoRate {
    size_t track = 0;
    TimecodeRate rate;
};

std::optional<VideoRate> firstVideoRate(const Movie& movie)
{
    for (size_t i = 0; i < movie.tracks.size(); ++i) {
        const Track& t = movie.tracks[i];
        if (!t.isVideo() || t.sampleCount == 0) continue;
        const auto rate =
            nominalTimecodeRate(t.mediaTimescale, t.constantDelta, t.commonDelta, t.sampleCount, t.sampleDuration);
        if (rate) return VideoRate{i, *rate};
    }
    return std::nullopt;
}

// How the clip counts its timecode (see clipCounting), its video's rate given.
TimecodeCounting clipCounting(const Movie& movie, const TopLevelPlan& top, const std::optional<VideoRate>& video)
{
    if (top.xmlCounting && top.xmlCounting->valid()) return *top.xmlCounting;
    for (const Track& track : movie.tracks) {
        if (track.isTimecode() && track.timecode->rate.frames > 0) return track.timecode->counting();
    }
    return {video ? video->rate.frames : 0u, false, false};
}

// The timecode track to add for the first video track, if there is one.
ErrorOr<std::optional<NewTimecodeTrack>> planTimecodeTrack(const Movie& movie, const TimecodeCounting& clip,
                                                           const Timecode& start, const std::optional<VideoRate>& video,
                                                           bool dropFrame)
{
    if (!video) return std::optional<NewTimecodeTrack>();
    uint32_t maxId = 0;
    for (const Track& track : movie.tracks) maxId = std::max(maxId, track.trackId);
    NewTimecodeTrack added;
    added.videoTrack = video->track;
    added.rate = video->rate;
    // Drop-frame numbering exists only at 29.97 and 59.94 (counted as 30 and 60).
    if (dropFrame && added.rate.frames % 30 == 0) added.flags = kTimecodeDropFrame;
    const TimecodeCounting counting{added.rate.frames, added.flags != 0, false};
    added.firstFrame = static_cast<uint32_t>(*counting.position(KV_TRY(startIn(counting, clip, start))));
    // next_track_ID is the one to use unless it is taken (or all ones: "find a free one").
    added.trackId = movie.nextTrackId;
    if (added.trackId == 0 || added.trackId == UINT32_MAX || added.trackId <= maxId) {
        if (maxId == UINT32_MAX) return unsupported(plan_texts::noTrackId());
        added.trackId = maxId + 1;
    }
    added.nextTrackId = added.trackId == UINT32_MAX ? UINT32_MAX : added.trackId + 1;
    return std::optional<NewTimecodeTrack>(added);
}

}  // namespace

std::optional<TimecodeRate> videoTimecodeRate(const Movie& movie)
{
    const auto video = firstVideoRate(movie);
    return video ? std::optional<TimecodeRate>(video->rate) : std::nullopt;
}

TimecodeCounting clipCounting(const Movie& movie, const TopLevelPlan& top)
{
    return clipCounting(movie, top, firstVideoRate(movie));
}

Patch makePatch(uint64_t sourceOffset, ByteSpan bytes, ByteSpan original, uint32_t track)
{
    Patch patch;
    patch.offset = sourceOffset;
    patch.track = track;
    patch.size = static_cast<uint8_t>(std::min({bytes.size(), original.size(), patch.bytes.size()}));
    std::copy_n(bytes.begin(), patch.size, patch.bytes.begin());
    std::copy_n(original.begin(), patch.size, patch.original.begin());
    return patch;
}

// Every sample must lie whole within one mdat's payload of dataBoxes: a chunk's start alone does not
// say where its samples end (an mdat cut short, a size that runs into the next box). And no patch may
// touch a sample of a track other than its own, whose bytes the rewrite must copy untouched.
ErrorOr<void> checkSamples(const Movie& movie, const std::vector<Box>& dataBoxes, const std::vector<Patch>& patches)
{
    std::vector<DataPlacement> identity;
    for (const Box& box : dataBoxes) identity.push_back({box, box.offset});
    const DataMap map(identity);
    std::vector<const Patch*> sorted;
    for (const Patch& patch : patches) sorted.push_back(&patch);
    std::sort(sorted.begin(), sorted.end(), [](const Patch* a, const Patch* b) { return a->offset < b->offset; });
    for (const Track& track : movie.tracks) {
        const uint32_t index = trackIndex(movie, track);
        KV_TRY(visitChunks(movie, track, [&](const ChunkRange& chunk) -> ErrorOr<void> {
            KV_TRY(map.map(chunk.offset));
            if (chunk.size == 0) return {};
            if (map.map(chunk.offset, chunk.size).isError())
                return damaged(Damage::sampleOutsideMdat, plan_texts::trackPastMdat(track.handler));
            // The chunk's bytes end within its mdat: no overflow.
            const uint64_t end = chunk.offset + chunk.size;
            const uint64_t from = chunk.offset - std::min(chunk.offset, kMaxPatchSize);
            auto it = std::lower_bound(sorted.begin(), sorted.end(), from,
                                       [](const Patch* p, uint64_t o) { return p->offset < o; });
            for (; it != sorted.end() && (*it)->offset < end; ++it) {
                const Patch& p = **it;
                if (p.track == index || (p.offset < chunk.offset && chunk.offset - p.offset >= p.size)) continue;
                const std::string owner =
                    p.track < movie.tracks.size() ? quotedType(movie.tracks[p.track].handler) : "";
                return damaged(Damage::samplesOverlap, plan_texts::timecodeOverlapsTrack(owner, track.handler));
            }
            return {};
        }));
    }
    return {};
}

ErrorOr<Rebased> rebaseTimecodes(const SourceMovie& source, const TopLevelPlan& top, const StartTimecode& asked)
{
    const Timecode& start = asked.time;
    const Movie& movie = source.movie;
    Rebased out;
    const auto video = firstVideoRate(movie);
    const TimecodeCounting counting = clipCounting(movie, top, video);
    out.counting = counting;
    // The one decision whether the clip can start there, before any of its places is re-based.
    if (counting.valid()) {
        if (auto why = counting.refusal(asked)) return startRefused(asked, *why);
    }
    KV_TRY(rebaseTimecodeTracks(movie, source.file, counting, start, out));
    const bool hasTimecodeTrack = !out.patches.empty();
    bool dropFrame = counting.dropFrame;
    for (const Track& track : movie.tracks) {
        if (track.sampleEntryType != kRtmdSampleEntry || track.sampleCount == 0) continue;
        if (!counting.valid()) {
            out.rtmdKept = true;  // nothing says how the clip counts: no guess at its frames
            continue;
        }
        const RtmdRebased rtmd = KV_TRY(rebaseRtmdTrack(movie, track, source.file, start, counting, out.patches));
        dropFrame = rtmd.dropFrame || dropFrame;
        out.rtmdKept = rtmd.kept || out.rtmdKept;
    }
    if (!hasTimecodeTrack) out.added = KV_TRY(planTimecodeTrack(movie, counting, start, video, dropFrame));
    return out;
}

// The start timecodes in the movie's metadata that were found and not understood.
std::vector<UnreadTimecode> leftAlone(const TopLevelPlan& top, const MovieMetadata& meta)
{
    std::vector<UnreadTimecode> all = top.timecodesLeftAlone;
    all.insert(all.end(), meta.timecodesLeftAlone.begin(), meta.timecodesLeftAlone.end());
    return all;
}

bool readsStart(const TopLevelPlan& top, const MovieMetadata& meta, const Rebased& rebased)
{
    if (rebased.added || rebased.recounted || rebased.rtmdKept || !meta.itemsHeld || meta.userDataRebased) return false;
    for (const Patch& patch : rebased.patches)
        if (!std::ranges::equal(patch.span(), patch.originalSpan())) return false;
    if (!top.xmlEdits.empty() || top.xmlInMoov || (!top.cameraXml.empty() && !top.xmlCounting)) return false;
    for (const TextEdit& edit : top.textEdits)
        if (edit.rebased != edit.original) return false;
    return leftAlone(top, meta).empty();
}

// A text edit of equal length as patches over the source: one for each run of bytes that changes.
void addTextPatches(const TextEdit& edit, std::vector<Patch>& patches)
{
    const auto bytes = [](const std::string& s, size_t at, size_t n) {
        return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()) + at, n);
    };
    for (size_t at = 0; at < edit.rebased.size();) {
        if (edit.rebased[at] == edit.original[at]) {
            ++at;
            continue;
        }
        size_t n = 1;
        while (at + n < edit.rebased.size() && n < kMaxPatchSize && edit.rebased[at + n] != edit.original[at + n]) ++n;
        patches.push_back(makePatch(edit.offset + at, bytes(edit.rebased, at, n), bytes(edit.original, at, n)));
        at += n;
    }
}

}  // namespace kelvatta
