#include "media/plan/moov_rewrite.h"

#include <algorithm>
#include <functional>

#include "media/base/media_error.h"
#include "media/plan/movie_metadata.h"
#include "media/sony/rtmd.h"
#include "media/sony/top_level.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

constexpr uint64_t kFreeHeaderSize = 8;
constexpr uint64_t kTimecodeSampleBoxSize = 12;  // mdat header + one 4-byte sample

// The new timecode track, when one is added.
struct NewTimecodeTrack {
    size_t videoTrack = 0;  // index into Movie::tracks: gets the tref
    uint32_t trackId = 0;
    uint32_t nextTrackId = 0;  // mvhd's new value
    TimecodeRate rate;
    uint32_t flags = 0;
    uint32_t firstFrame = 0;
};

Patch makePatch(uint64_t sourceOffset, ByteSpan bytes, ByteSpan original, uint32_t track = Patch::kNoTrack)
{
    Patch patch;
    patch.offset = sourceOffset;
    patch.track = track;
    patch.size = static_cast<uint8_t>(std::min({bytes.size(), original.size(), patch.bytes.size()}));
    std::copy_n(bytes.begin(), patch.size, patch.bytes.begin());
    std::copy_n(original.begin(), patch.size, patch.original.begin());
    return patch;
}

uint32_t trackIndex(const Movie& movie, const Track& track)
{
    return static_cast<uint32_t>(&track - movie.tracks.data());
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
    constexpr uint64_t kMaxPatchSize = std::tuple_size_v<decltype(Patch::bytes)>;
    for (const Track& track : movie.tracks) {
        const uint32_t index = trackIndex(movie, track);
        KV_TRY(visitChunks(movie, track, [&](const ChunkRange& chunk) -> ErrorOr<void> {
            KV_TRY(map.map(chunk.offset));
            if (chunk.size == 0) return {};
            if (map.map(chunk.offset, chunk.size).isError())
                return damaged(quotedType(track.handler) + "轨道的样本超出了所在的“mdat”盒子（文件可能不完整）");
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
                return damaged(owner + "轨道的时间码与" + quotedType(track.handler) + "轨道的样本重叠");
            }
            return {};
        }));
    }
    return {};
}

// Places every data box after headSize bytes, keeping each at its source offset modulo kCloneAlignment.
ErrorOr<OutputPlan> layOut(uint64_t headSize, const std::vector<Box>& boxes)
{
    OutputPlan plan;
    uint64_t cursor = headSize;
    for (const Box& mdat : boxes) {
        const uint64_t want = mdat.offset % kCloneAlignment;
        uint64_t gap = (want + kCloneAlignment - cursor % kCloneAlignment) % kCloneAlignment;
        if (gap > 0 && gap < kFreeHeaderSize) gap += kCloneAlignment;
        auto start = checkedAdd(cursor, gap);
        auto end = start ? checkedAdd(*start, mdat.size) : std::nullopt;
        if (!end || *end > uint64_t(INT64_MAX)) return tooLarge("输出文件过大");
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

// Writes moov anew at the end of out, the buffer it is to be written from (no copy of a moov is made
// on the way): chunk offsets moved, the timecode track and its tref added, the movie's metadata as
// planned (movie_metadata.h). Everything else is copied as it is.
class MoovWriter {
public:
    MoovWriter(const Movie& movie, const DataMap& map, const std::vector<bool>& wide,
               const std::optional<NewTimecodeTrack>& timecode, uint64_t timecodeSampleOffset,
               const MovieMetadata& metadata, Bytes& out)
        : movie_(movie), moov_(movie.moov), map_(map), wide_(wide), timecode_(timecode),
          timecodeSampleOffset_(timecodeSampleOffset), metadata_(metadata), out_(out), w_(out)
    {
    }

    // No less than the size of the moov write() makes: the source's, its metadata as rewritten, the
    // timecode track, its reference (tref/tmcd, at most 20 bytes more) and an added metadata box,
    // and 4 bytes more an offset in each table made 64-bit. Reserved beforehand, so that out never
    // grows by reallocating, which would hold the moov twice.
    uint64_t sizeBound() const
    {
        uint64_t bound = movie_.moov.size() + metadata_.added.size();
        for (const auto& [offset, bytes] : metadata_.rewritten) bound += bytes.size();
        if (timecode_) bound += buildTimecodeTrak(timecodeParams()).size() + 20;
        for (size_t i = 0; i < movie_.tracks.size(); ++i) {
            const ChunkTable& chunks = movie_.tracks[i].chunks;
            if (wide_[i] && !chunks.is64()) bound += 4 * uint64_t(chunks.offsets.size());
        }
        return bound;
    }

    // Appends the new moov to out; tracks whose stco overflowed 32 bits are listed in overflowed().
    ErrorOr<void> write()
    {
        w_.open(fourcc("moov"));
        size_t trackIndex = 0;
        for (const Box& child : KV_TRY(childBoxes(moov_, movie_.box))) {
            if (auto rewritten = metadata_.rewritten.find(child.offset); rewritten != metadata_.rewritten.end()) {
                w_.bytes(rewritten->second);
            } else if (child.type == fourcc("trak")) {
                KV_TRY(writeTrak(movie_.tracks[trackIndex], trackIndex));
                ++trackIndex;
            } else if (child.type == fourcc("mvhd")) {
                writeMvhd(child);
            } else {
                w_.bytes(bytesOf(moov_, child));
            }
        }
        if (timecode_) w_.bytes(buildTimecodeTrak(timecodeParams()));
        w_.bytes(metadata_.added);
        w_.close();
        if (!w_.ok()) return tooLarge("新的“moov”盒子过大");
        return {};
    }

    const std::vector<size_t>& overflowed() const { return overflowed_; }

private:
    TimecodeTrackParams timecodeParams() const
    {
        const Track& video = movie_.tracks[timecode_->videoTrack];
        TimecodeTrackParams p;
        p.trackId = timecode_->trackId;
        p.movieDuration = video.duration;
        p.mediaTimescale = video.mediaTimescale;
        p.mediaDuration = video.mediaDuration;
        p.rate = timecode_->rate;
        p.flags = timecode_->flags;
        p.language = video.language;
        p.created = video.trackDates.created;
        p.modified = video.trackDates.modified;
        p.mediaCreated = video.mediaDates.created;
        p.mediaModified = video.mediaDates.modified;
        p.sampleOffset = timecodeSampleOffset_;
        return p;
    }

    void writeMvhd(const Box& mvhd)
    {
        const size_t start = w_.size();
        w_.bytes(bytesOf(moov_, mvhd));
        if (timecode_) {
            storeU32(&out_[start + (movie_.nextTrackIdAt - movie_.mvhd.offset)], timecode_->nextTrackId);
        }
    }

    // Rewrites a container on the path to the chunk table: header anew, children through emit.
    template <typename Emit>
    ErrorOr<void> rebuild(const Box& box, Emit&& emit)
    {
        w_.open(box.type);
        for (const Box& child : KV_TRY(childBoxes(moov_, box))) KV_TRY(emit(child));
        w_.close();
        return {};
    }

    ErrorOr<void> raw(const Box& box)
    {
        w_.bytes(bytesOf(moov_, box));
        return {};
    }

    ErrorOr<void> writeTrak(const Track& track, size_t index)
    {
        const bool referencesNewTimecode = timecode_ && timecode_->videoTrack == index;
        return rebuild(track.trak, [&](const Box& child) -> ErrorOr<void> {
            if (child.type == fourcc("tref") && referencesNewTimecode) return writeTref(child);
            if (child.type != fourcc("mdia")) return raw(child);
            if (referencesNewTimecode && !track.tref) w_.bytes(buildTimecodeReference(timecode_->trackId));
            return writeMediaPath(child, track, index);
        });
    }

    // tref with its old tmcd references (to a track that has no samples) replaced by the new one.
    ErrorOr<void> writeTref(const Box& tref)
    {
        w_.open(fourcc("tref"));
        for (const Box& child : KV_TRY(childBoxes(moov_, tref))) {
            if (child.type != fourcc("tmcd")) w_.bytes(bytesOf(moov_, child));
        }
        w_.open(fourcc("tmcd"));
        w_.u32(timecode_->trackId);
        w_.close();
        w_.close();
        return {};
    }

    ErrorOr<void> writeMediaPath(const Box& mdia, const Track& track, size_t index)
    {
        return rebuild(mdia, [&](const Box& child) -> ErrorOr<void> {
            if (child.type != fourcc("minf")) return raw(child);
            return rebuild(child, [&](const Box& minfChild) -> ErrorOr<void> {
                if (minfChild.type != fourcc("stbl")) return raw(minfChild);
                return rebuild(minfChild, [&](const Box& table) -> ErrorOr<void> {
                    if (track.chunks.box && table.offset == track.chunks.box->offset)
                        return writeChunkTable(track, index);
                    return raw(table);
                });
            });
        });
    }

    ErrorOr<void> writeChunkTable(const Track& track, size_t index)
    {
        const Box& box = *track.chunks.box;
        const bool wide = track.chunks.is64() || wide_[index];
        const ByteSpan source = bytesOf(moov_, box);
        const size_t entryBytes = track.chunks.is64() ? 8 : 4;
        w_.open(wide ? fourcc("co64") : fourcc("stco"));
        w_.bytes(source.subspan(box.headerSize, 4));  // version and flags as they were
        w_.u32(static_cast<uint32_t>(track.chunks.offsets.size()));
        bool overflow = false;
        for (uint64_t offset : track.chunks.offsets) {
            const uint64_t moved = KV_TRY(map_.map(offset));
            if (wide) {
                w_.u64(moved);
            } else {
                overflow = overflow || moved > UINT32_MAX;
                w_.u32(static_cast<uint32_t>(moved));
            }
        }
        // Bytes some writers leave after the entries stay as they were.
        const size_t used = box.headerSize + 8 + track.chunks.offsets.size() * entryBytes;
        w_.bytes(source.subspan(used));
        w_.close();
        if (overflow) overflowed_.push_back(index);
        return {};
    }

    const Movie& movie_;
    ByteSpan moov_;
    const DataMap& map_;
    const std::vector<bool>& wide_;
    const std::optional<NewTimecodeTrack>& timecode_;
    uint64_t timecodeSampleOffset_;
    const MovieMetadata& metadata_;
    Bytes& out_;
    ByteWriter w_;
    std::vector<size_t> overflowed_;
};

// Room in out for the moov writer writes and more bytes after it.
ErrorOr<void> reserveMoov(Bytes& out, const MoovWriter& writer, uint64_t more)
{
    const uint64_t bound = writer.sizeBound();
    // Sizes of what is held in memory (a widened table at most doubles its bytes): no overflow.
    return reserveBytes(out, out.size() + bound + more,
                        "写入新的“moov”盒子（" + std::to_string(bound >> 20) + " MiB）");
}

// The samples of the source's timecode tracks, re-based so each track's first sample reads the
// requested start. They live in the source's mdat; the new values are written into the output's copy.
ErrorOr<void> rebaseTimecodeTracks(const Movie& movie, ByteSource& source, const Timecode& start,
                                   std::vector<Patch>& patches)
{
    for (const Track& track : movie.tracks) {
        if (!track.isTimecode()) continue;
        const auto samples = KV_TRY(locateSamples(movie, track, kMaxTimecodeSamples));
        const uint64_t target = start.frameNumber(track.timecode->frames);
        uint32_t first = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (samples[i].size < 4) return damaged("时间码样本过短");
            uint8_t frame[4];
            if (KV_TRY(source.readAt(frame, 4, samples[i].offset)) != 4) return damaged("时间码样本超出了文件末尾");
            if (i == 0) first = loadU32(frame);
            uint8_t rebased[4];
            storeU32(rebased,
                     rebaseFrame(loadU32(frame), first, target, track.timecode->flags, track.timecode->frames));
            patches.push_back(makePatch(samples[i].offset, rebased, frame, trackIndex(movie, track)));
        }
    }
    return {};
}

// The rtmd samples' timecodes of one track, re-based so its first recognised sample reads start.
// counting is the clip's (from its XML or timecode track); rtmd counts frames at that rate, or at
// twice it where half-step clips number each frame. Samples whose header is not recognised, and a
// track whose values fit no such counting, are left as they are. True when the first sample says
// drop-frame.
struct RtmdRebased {
    bool dropFrame = false;  // the first sample says drop-frame
    bool kept = false;       // some samples' timecodes are left as the camera wrote them
};

ErrorOr<RtmdRebased> rebaseRtmdTrack(const Movie& movie, const Track& track, ByteSource& source, const Timecode& start,
                                     TimecodeCounting counting, std::vector<Patch>& patches)
{
    // One header per frame, spread over the whole clip: all asked for at once, then read in turn (the
    // tables are walked twice rather than a list of a day's frames kept).
    size_t heads = 0;
    const auto eachHead = [&](const std::function<ErrorOr<void>(uint64_t)>& visit) {
        return visitSamples(movie, track, kMaxRtmdSamples, [&](const SampleRange& sample) -> ErrorOr<void> {
            if (sample.size >= kRtmdHeadSize) KV_TRY(visit(sample.offset));
            return {};
        });
    };
    KV_TRY(eachHead([&](uint64_t offset) -> ErrorOr<void> {
        source.prefetch(offset, kRtmdHeadSize);
        ++heads;
        return {};
    }));
    // Each recognised sample as a patch that writes back what it holds, until the first value and the
    // largest frame number say how to re-base them: 32 bytes a frame, whatever else is known of it.
    const size_t first = patches.size();
    patches.reserve(first + heads);
    uint32_t maxFrames = 0;
    KV_TRY(eachHead([&](uint64_t offset) -> ErrorOr<void> {
        uint8_t head[kRtmdHeadSize];
        if (KV_TRY(source.readAt(head, sizeof head, offset)) != sizeof head) return damaged("“rtmd”样本超出了文件末尾");
        if (auto value = readRtmdTimecode(head)) {
            const ByteSpan bytes(head + kRtmdTimecodeAt, kRtmdTimecodeSize);
            patches.push_back(makePatch(offset + kRtmdTimecodeAt, bytes, bytes, trackIndex(movie, track)));
            maxFrames = std::max(maxFrames, value->time.frames);
        }
        return {};
    }));
    const auto found = patches.begin() + static_cast<std::ptrdiff_t>(first);
    if (found == patches.end()) return RtmdRebased{false, heads > 0};
    // A sample whose header is not recognised keeps its timecode, whatever it holds.
    RtmdRebased out{false, static_cast<size_t>(patches.end() - found) < heads};
    const RtmdTimecode firstValue = rtmdTimecodeIn(found->original.data());
    out.dropFrame = firstValue.dropFrame != 0;
    counting.halfStep = false;
    counting.dropFrame = counting.dropFrame || out.dropFrame;
    if (maxFrames >= counting.framesPerSecond) counting.framesPerSecond *= 2;
    const auto rebase = TimecodeRebase::make(counting, {firstValue.time, false}, {start, false});
    if (!rebase || maxFrames >= counting.framesPerSecond) {
        patches.erase(found, patches.end());
        out.kept = true;
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

// How the clip counts its timecode: as its camera XML says, else as its timecode track does, else at
// its video's rate without drop-frame.
TimecodeCounting clipCounting(const Movie& movie, const TopLevelPlan& top, const std::optional<VideoRate>& video)
{
    if (top.xmlCounting && top.xmlCounting->valid()) return *top.xmlCounting;
    for (const Track& track : movie.tracks) {
        if (track.isTimecode() && track.timecode->frames > 0)
            return {track.timecode->frames, (track.timecode->flags & kTimecodeDropFrame) != 0, false};
    }
    return {video ? video->rate.frames : 0u, false, false};
}

// The timecode track to add for the first video track, if there is one.
ErrorOr<std::optional<NewTimecodeTrack>> planTimecodeTrack(const Movie& movie, const Timecode& start,
                                                           const std::optional<VideoRate>& video, bool dropFrame)
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
    added.firstFrame = static_cast<uint32_t>(counting.position({start, false}).value_or(0));
    // next_track_ID is the one to use unless it is taken (or all ones: "find a free one").
    added.trackId = movie.nextTrackId;
    if (added.trackId == 0 || added.trackId == UINT32_MAX || added.trackId <= maxId) {
        if (maxId == UINT32_MAX) return unsupported("无法添加时间码轨道：轨道编号已用尽");
        added.trackId = maxId + 1;
    }
    added.nextTrackId = added.trackId == UINT32_MAX ? UINT32_MAX : added.trackId + 1;
    return std::optional<NewTimecodeTrack>(added);
}

// Every timecode of the clip re-based to start: the patches over its tmcd and rtmd samples, and the
// timecode track to add when it has none.
struct Rebased {
    std::vector<Patch> patches;
    std::optional<NewTimecodeTrack> added;
    bool rtmdKept = false;  // rtmd timecodes left as the camera wrote them
};

// The start timecodes in the movie's metadata that were found and not understood.
std::vector<std::string> leftAlone(const TopLevelPlan& top, const MovieMetadata& meta)
{
    std::vector<std::string> all = top.timecodesLeftAlone;
    all.insert(all.end(), meta.timecodesLeftAlone.begin(), meta.timecodesLeftAlone.end());
    return all;
}

// A text edit of equal length as patches over the source: one for each run of bytes that changes.
void addTextPatches(const TextTimecodeEdit& edit, std::vector<Patch>& patches)
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
        while (at + n < edit.rebased.size() && n < sizeof(Patch::bytes) &&
               edit.rebased[at + n] != edit.original[at + n])
            ++n;
        patches.push_back(makePatch(edit.offset + at, bytes(edit.rebased, at, n), bytes(edit.original, at, n)));
        at += n;
    }
}

ErrorOr<Rebased> rebaseTimecodes(const SourceMovie& source, const TopLevelPlan& top, const Timecode& start)
{
    const Movie& movie = source.movie;
    Rebased out;
    KV_TRY(rebaseTimecodeTracks(movie, source.file, start, out.patches));
    const bool hasTimecodeTrack = !out.patches.empty();
    const auto video = firstVideoRate(movie);
    const TimecodeCounting counting = clipCounting(movie, top, video);
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
    if (!hasTimecodeTrack) out.added = KV_TRY(planTimecodeTrack(movie, start, video, dropFrame));
    return out;
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
    return damaged("偏移 " + std::to_string(offset) + " 处的媒体数据不在任何“mdat”盒子中");
}

ErrorOr<OutputPlan> planOutput(const SourceMovie& source, const std::vector<MetadataItem>& items)
{
    const Movie& movie = source.movie;
    const auto start = KV_TRY(requestedTimecode(items));
    const TopLevelPlan top = KV_TRY(planTopLevel(source.topLevel, movie, source.file, start));
    const MovieMetadata meta = KV_TRY(planMovieMetadata(movie, top, items, start));
    Rebased rebased;
    if (start) rebased = KV_TRY(rebaseTimecodes(source, top, *start));
    KV_TRY(checkSamples(movie, top.data, rebased.patches));
    const std::optional<NewTimecodeTrack>& added = rebased.added;

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
                return damaged("时间码样本相互重叠");
        }
        plan.moovSize = moovSize;
        plan.moovOffset = leadingSize;
        plan.timecode = start;
        plan.rtmdKept = rebased.rtmdKept;
        plan.timecodesLeftAlone = leftAlone(top, meta);
        return plan;
    }
    return damaged("无法确定新的“moov”盒子的大小");
}

namespace {

// Why the clip cannot be rewritten in place, or nothing when it can.
ErrorOr<std::optional<std::string>> inPlaceRefusal(const SourceMovie& source, const TopLevelPlan& top)
{
    std::optional<Box> moov;
    uint64_t end = 0;
    for (const Box& box : source.topLevel) {
        if (box.type == fourcc("moov")) moov = box;
        if (box.type == fourcc("ftyp") && !top.ftyp) {
            uint8_t major[4];
            if (KV_TRY(source.file.readAt(major, 4, box.payloadOffset())) != 4) return damaged("“ftyp”盒子过短");
            const uint32_t brand = loadU32(major);
            if (brand != fourcc("mp42") && brand != fourcc("mp41") && brand != fourcc("isom"))
                return std::optional<std::string>("文件不是 MP4 格式（品牌“" + fourccText(brand) + "”）");
        }
        end = box.end();
    }
    if (!moov) return damaged("缺少“moov”盒子");
    for (const Box& box : source.topLevel) {
        if (box.type == fourcc("mdat") && box.end() > moov->offset)
            return std::optional<std::string>("媒体数据不全在“moov”盒子之前");
        const bool trailing = box.offset > moov->offset;
        const bool keptInPlace = box.type == fourcc("meta") || box.type == fourcc("free") ||
                                 box.type == fourcc("skip") || box.type == fourcc("wide") || box.type == fourcc("uuid");
        if (trailing && !keptInPlace)
            return std::optional<std::string>("“moov”盒子之后有" + quotedType(box.type) + "盒子");
    }
    if (end != source.file.size()) return std::optional<std::string>("文件末尾有不属于任何盒子的数据");
    if (top.xmlInMoov) return std::optional<std::string>("相机的 XML 位于“moov”盒子之内");
    uint8_t size[4];
    if (KV_TRY(source.file.readAt(size, 4, moov->offset)) != 4 || loadU32(size) == 0)
        return std::optional<std::string>("“moov”盒子的大小未写明");
    return std::optional<std::string>();
}

}  // namespace

ErrorOr<std::variant<InPlacePlan, std::string>> planInPlace(const SourceMovie& source,
                                                            const std::vector<MetadataItem>& items, uint64_t appendAt)
{
    using Planned = std::variant<InPlacePlan, std::string>;
    const Movie& movie = source.movie;
    const auto start = KV_TRY(requestedTimecode(items));
    const TopLevelPlan top = KV_TRY(planTopLevel(source.topLevel, movie, source.file, start));
    if (auto refusal = KV_TRY(inPlaceRefusal(source, top))) return Planned(*refusal);
    const MovieMetadata meta = KV_TRY(planMovieMetadata(movie, top, items, start));
    Rebased rebased;
    if (start) rebased = KV_TRY(rebaseTimecodes(source, top, *start));

    InPlacePlan plan;
    plan.appendAt = appendAt;
    for (const Box& box : source.topLevel) {
        if (box.type == fourcc("moov")) plan.oldMoov = box;
        if (box.type == fourcc("mdat")) plan.mdats.push_back(box);
    }
    KV_TRY(checkSamples(movie, plan.mdats, rebased.patches));
    // [free padding][mdat: sample] before the new moov, so that it starts on a 4096-byte boundary.
    const uint64_t sampleBoxSize = rebased.added ? kTimecodeSampleBoxSize : 0;
    const auto afterSample = checkedAdd(appendAt, sampleBoxSize);
    if (!afterSample) return tooLarge("文件过大");
    uint64_t gap = (kCloneAlignment - *afterSample % kCloneAlignment) % kCloneAlignment;
    if (gap > 0 && gap < kFreeHeaderSize) gap += kCloneAlignment;
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
    if (!writer.overflowed().empty()) return damaged("块偏移超出了“stco”表的范围");
    storeU32(&plan.appended[moovAt + 4], fourcc("free"));  // switched on once everything else is in place
    plan.newMoovSize = plan.appended.size() - moovAt;

    plan.patches = std::move(rebased.patches);
    plan.rtmdKept = rebased.rtmdKept;
    plan.timecodesLeftAlone = leftAlone(top, meta);
    for (const TextTimecodeEdit& edit : top.textEdits) addTextPatches(edit, plan.patches);
    const auto span = [](const std::array<char, 8>& digits) {
        return ByteSpan(reinterpret_cast<const uint8_t*>(digits.data()), digits.size());
    };
    for (const auto& edit : top.xmlEdits)
        plan.patches.push_back(makePatch(edit.offset, span(edit.digits), span(edit.original)));
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

ErrorOr<std::optional<Timecode>> requestedTimecode(const std::vector<MetadataItem>& items)
{
    const std::string id = MetadataItem::identifierForKey("timecode", kMetadataKeySpaceQuickTimeMetadata);
    for (const MetadataItem& item : items) {
        if (item.identifier != id) continue;
        auto tc = Timecode::parse(item.value);
        if (!tc) return unsupported("时间码“" + item.value + "”无效");
        return std::optional<Timecode>(*tc);
    }
    return std::optional<Timecode>();
}

}  // namespace kelvatta
