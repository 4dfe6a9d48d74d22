#include "media/moov_rewrite.h"

#include <algorithm>

#include "media/media_error.h"
#include "media/quicktime_meta.h"
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
    uint8_t frames = 0;
    uint32_t firstFrame = 0;
};

// A sample of a source timecode track to re-base: where it is in the source and its new value.
struct TimecodeSample {
    uint64_t sourceOffset = 0;
    uint32_t frame = 0;
};

// Places every mdat after headSize bytes, keeping each at its source offset modulo kCloneAlignment.
ErrorOr<OutputPlan> layOut(uint64_t headSize, const std::vector<Box>& mdats)
{
    OutputPlan plan;
    uint64_t cursor = headSize;
    for (const Box& mdat : mdats) {
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

// Writes moov anew: movie-level udta and meta left out, chunk offsets moved, the timecode track and
// its tref added, the metadata box appended. Everything else is copied as it is.
class MoovWriter {
public:
    MoovWriter(const Movie& movie, const DataMap& map, const std::vector<bool>& wide,
               const std::optional<NewTimecodeTrack>& timecode, uint32_t timecodeSampleOffset, const Bytes& meta)
        : movie_(movie), moov_(movie.moov), map_(map), wide_(wide), timecode_(timecode),
          timecodeSampleOffset_(timecodeSampleOffset), meta_(meta), w_(out_)
    {
    }

    // The new moov; tracks whose stco overflowed 32 bits are listed in overflowed().
    ErrorOr<Bytes> write()
    {
        w_.open(fourcc("moov"));
        size_t trackIndex = 0;
        for (const Box& child : KV_TRY(childBoxes(moov_, movie_.box))) {
            if (child.type == fourcc("udta") || child.type == fourcc("meta")) continue;
            if (child.type == fourcc("trak")) {
                KV_TRY_VOID(writeTrak(movie_.tracks[trackIndex], trackIndex));
                ++trackIndex;
            } else if (child.type == fourcc("mvhd")) {
                writeMvhd(child);
            } else {
                w_.bytes(bytesOf(moov_, child));
            }
        }
        if (timecode_) w_.bytes(buildTimecodeTrak(timecodeParams(), timecode_->frames));
        w_.bytes(meta_);
        w_.close();
        if (!w_.ok()) return tooLarge("新的“moov”盒子过大");
        return std::move(out_);
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
        p.frameDuration = video.constantDelta;
        p.language = video.language;
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
        for (const Box& child : KV_TRY(childBoxes(moov_, box))) KV_TRY_VOID(emit(child));
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
    uint32_t timecodeSampleOffset_;
    const Bytes& meta_;
    Bytes out_;
    ByteWriter w_;
    std::vector<size_t> overflowed_;
};

// The samples of the source's timecode tracks, re-based so each track's first sample reads the
// requested start. They live in the source's mdat; the new values are written into the output's copy.
ErrorOr<std::vector<TimecodeSample>> rebaseTimecodeTracks(const Movie& movie, ByteSource& source, const Timecode& start)
{
    std::vector<TimecodeSample> rebased;
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
            rebased.push_back({samples[i].offset, rebaseFrame(loadU32(frame), first, target, track.timecode->flags,
                                                              track.timecode->frames)});
        }
    }
    return rebased;
}

// The timecode track to add for the first video track of constant frame rate, if there is one.
ErrorOr<std::optional<NewTimecodeTrack>> planTimecodeTrack(const Movie& movie, const Timecode& start)
{
    uint32_t maxId = 0;
    for (const Track& track : movie.tracks) maxId = std::max(maxId, track.trackId);
    for (size_t i = 0; i < movie.tracks.size(); ++i) {
        const Track& video = movie.tracks[i];
        if (!video.isVideo() || video.constantDelta == 0 || video.sampleCount == 0) continue;
        const auto frames = timecodeFrameRate(video.mediaTimescale, video.constantDelta);
        if (!frames) continue;
        NewTimecodeTrack added;
        added.videoTrack = i;
        added.frames = *frames;
        added.firstFrame = static_cast<uint32_t>(start.frameNumber(*frames));
        // next_track_ID is the one to use unless it is taken (or all ones: "find a free one").
        added.trackId = movie.nextTrackId;
        if (added.trackId == 0 || added.trackId == UINT32_MAX || added.trackId <= maxId) {
            if (maxId == UINT32_MAX) return unsupported("无法添加时间码轨道：轨道编号已用尽");
            added.trackId = maxId + 1;
        }
        added.nextTrackId = added.trackId == UINT32_MAX ? UINT32_MAX : added.trackId + 1;
        return std::optional<NewTimecodeTrack>(added);
    }
    return std::optional<NewTimecodeTrack>();
}

}  // namespace

ErrorOr<uint64_t> DataMap::map(uint64_t offset, uint64_t len) const
{
    // The last placement whose payload starts at or before offset (placements are in file order).
    auto it = std::upper_bound(data_.begin(), data_.end(), offset,
                               [](uint64_t o, const DataPlacement& d) { return o < d.source.payloadOffset(); });
    if (it != data_.begin()) {
        const DataPlacement& d = *std::prev(it);
        if (offset < d.source.end() && len <= d.source.end() - offset) return d.outputOffset + (offset - d.source.offset);
    }
    return damaged("偏移 " + std::to_string(offset) + " 处的媒体数据不在任何“mdat”盒子中");
}

ErrorOr<OutputPlan> planOutput(const Movie& movie, const std::vector<Box>& mdats, ByteSource& source,
                               const std::vector<MetadataItem>& items)
{
    const Bytes meta = KV_TRY(buildQuickTimeMeta(items));
    const auto start = KV_TRY(requestedTimecode(items));
    std::vector<TimecodeSample> rebased;
    std::optional<NewTimecodeTrack> added;
    if (start) {
        rebased = KV_TRY(rebaseTimecodeTracks(movie, source, *start));
        if (rebased.empty()) added = KV_TRY(planTimecodeTrack(movie, *start));
    }

    const Bytes ftyp = buildFtyp();
    const uint64_t sampleBoxSize = added ? kTimecodeSampleBoxSize : 0;
    // Tables made 64-bit so far. Only ever added to: the moov size is a function of this set, and
    // the data offsets only grow with the moov size, so the loop ends after at most one round per
    // track plus two.
    std::vector<bool> wide(movie.tracks.size(), false);
    uint64_t moovSize = 0;
    for (size_t round = 0; round < 2 * movie.tracks.size() + 4; ++round) {
        auto plan = KV_TRY(layOut(ftyp.size() + moovSize + sampleBoxSize, mdats));
        const DataMap map(plan.data);
        const auto sampleOffset = checkedCast<uint32_t>(ftyp.size() + moovSize + 8);
        if (!sampleOffset) return tooLarge("新的“moov”盒子过大");
        MoovWriter writer(movie, map, wide, added, *sampleOffset, meta);
        Bytes moov = KV_TRY(writer.write());
        for (size_t track : writer.overflowed()) wide[track] = true;
        if (!writer.overflowed().empty() || moov.size() != moovSize) {
            moovSize = moov.size();
            continue;
        }

        Bytes head = ftyp;
        head.insert(head.end(), moov.begin(), moov.end());
        if (added) {
            ByteWriter w(head);
            w.open(fourcc("mdat"));
            w.u32(added->firstFrame);
            w.close();
        }
        plan.writes.insert(plan.writes.begin(), OutputWrite{0, std::move(head)});
        for (const TimecodeSample& sample : rebased) {
            Bytes frame(4);
            storeU32(frame.data(), sample.frame);
            plan.patches.push_back({KV_TRY(map.map(sample.sourceOffset, 4)), std::move(frame)});
        }
        // Two timecode samples sharing bytes would make the output depend on the order of writing.
        std::sort(plan.patches.begin(), plan.patches.end(),
                  [](const OutputWrite& a, const OutputWrite& b) { return a.offset < b.offset; });
        for (size_t i = 1; i < plan.patches.size(); ++i) {
            const OutputWrite& a = plan.patches[i - 1];
            const OutputWrite& b = plan.patches[i];
            if (b.offset < a.offset + 4 && (b.offset != a.offset || b.bytes != a.bytes))
                return damaged("时间码轨道的样本相互重叠");
        }
        plan.moovSize = moovSize;
        plan.timecode = start;
        return plan;
    }
    return damaged("无法确定新的“moov”盒子的大小");
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
