// The writer of a new moov: the source's, chunk offsets moved, the timecode track and its tref
// added, the movie's metadata as planned. Used by both plans (moov_rewrite.h).
#pragma once

#include <optional>
#include <vector>

#include "media/base/media_error.h"
#include "media/boxes/moov_model.h"
#include "media/boxes/timecode_track.h"
#include "media/plan/moov_rewrite.h"
#include "media/plan/movie_metadata.h"
#include "media/plan/rebase.h"
#include "media/plan/plan_texts.h"

namespace kelvatta {

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
        if (!w_.ok()) return tooLarge(plan_texts::newMoovTooLarge());
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
        Bytes others;
        for (const Box& child : KV_TRY(childBoxes(moov_, tref))) {
            if (child.type != fourcc("tmcd")) ByteWriter(others).bytes(bytesOf(moov_, child));
        }
        w_.bytes(buildTimecodeReference(timecode_->trackId, others));
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
                    if (table.type == fourcc("stsd") && track.timecode)
                        return writeTimecodeEntries(table, *track.timecode);
                    return raw(table);
                });
            });
        });
    }

    // A timecode track's sample descriptions, its number of frames the one its samples count at.
    ErrorOr<void> writeTimecodeEntries(const Box& stsd, const TimecodeEntry& entry)
    {
        const size_t start = w_.size();
        w_.bytes(bytesOf(moov_, stsd));
        out_[start + (entry.framesAt - stsd.offset)] = entry.countedFrames();
        return {};
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
ErrorOr<void> reserveMoov(Bytes& out, const MoovWriter& writer, uint64_t more);

}  // namespace kelvatta
