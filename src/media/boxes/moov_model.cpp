#include "media/boxes/moov_model.h"

#include <algorithm>

#include "media/base/media_error.h"
#include "media/boxes/box_texts.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

constexpr uint32_t kMoov = fourcc("moov");
constexpr uint32_t kTrak = fourcc("trak");

// A table's entries must fit in its box: count × entrySize ≤ the bytes after the count. Writers may
// pad a table; no reader may trust a count beyond the box.
ErrorOr<void> checkTableFits(const Box& box, uint64_t available, uint64_t count, uint64_t entrySize)
{
    auto need = checkedMul(count, entrySize);
    if (!need || *need > available) return damaged(Damage::tableCountPastBox, box_texts::tableCountPastBox(box.type));
    return {};
}

// The required child of this type, as an error naming both boxes when it is missing.
ErrorOr<Box> requiredChild(const std::vector<Box>& children, uint32_t type, uint32_t parentType)
{
    auto found = KV_TRY(uniqueChild(children, type));
    if (!found) return damaged(Damage::missingBox, box_texts::missingChild(parentType, type));
    return *found;
}

// ISO/IEC 14496-12, 8.3.2 (tkhd).
ErrorOr<void> parseTkhd(ByteSpan moov, const Box& box, Track& track)
{
    auto full = KV_TRY(readFullBox(moov, box, 1));
    FieldReader r(full.body);
    track.trackDates.created = r.uVersioned(full.version);
    track.trackDates.modified = r.uVersioned(full.version);
    track.trackId = r.u32();
    r.skip(4);
    track.duration = r.uVersioned(full.version);
    if (!r.ok()) return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("tkhd")));
    return {};
}

// ISO/IEC 14496-12, 8.4.2 (mdhd).
ErrorOr<void> parseMdhd(ByteSpan moov, const Box& box, Track& track)
{
    auto full = KV_TRY(readFullBox(moov, box, 1));
    FieldReader r(full.body);
    track.mediaDates.created = r.uVersioned(full.version);
    track.mediaDates.modified = r.uVersioned(full.version);
    track.mediaTimescale = r.u32();
    track.mediaDuration = r.uVersioned(full.version);
    track.language = r.u16();
    if (!r.ok()) return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("mdhd")));
    return {};
}

// ISO/IEC 14496-12, 8.3.3 (tref).
ErrorOr<void> parseTref(ByteSpan moov, const Box& tref, Track& track)
{
    track.tref = tref;
    for (const Box& child : KV_TRY(childBoxes(moov, tref))) {
        if (child.type != fourcc("tmcd")) continue;
        FieldReader r(payloadOf(moov, child));
        while (r.remaining() >= 4) track.timecodeRefs.push_back(r.u32());
    }
    return {};
}

// Chunk offsets that point into another file cannot be moved with this one: every data reference
// must be self-contained.
// ISO/IEC 14496-12, 8.7.2 (dref and its url/urn entries).
ErrorOr<void> checkSelfContained(ByteSpan moov, const std::vector<Box>& minfChildren)
{
    auto dinf = KV_TRY(uniqueChild(minfChildren, fourcc("dinf")));
    if (!dinf) return {};
    auto dref = KV_TRY(uniqueChild(KV_TRY(childBoxes(moov, *dinf)), fourcc("dref")));
    if (!dref) return {};
    auto full = KV_TRY(readFullBox(moov, *dref, 0));
    if (full.body.size() < 4) return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("dref")));
    for (const Box& entry : KV_TRY(boxesBetween(moov, dref->payloadOffset() + 8, dref->end()))) {
        auto ref = KV_TRY(readFullBox(moov, entry, 0));
        if (!(ref.flags & kDataReferenceSelfContained)) return unsupported(box_texts::externalData());
    }
    return {};
}

// An encrypted track's samples come with offsets the rewrite does not know to move (saio points at
// the per-sample keys, in senc or elsewhere in the file): it is refused rather than left pointing at
// the old places. Such a track has a protected sample entry (its original type kept in sinf/frma),
// or auxiliary information tables in stbl.
Error encryptedTrack(uint32_t type) { return unsupported(box_texts::encryptedTrack(type)); }

bool isProtectedEntry(uint32_t type)
{
    constexpr uint32_t kProtected[] = {fourcc("encv"), fourcc("enca"), fourcc("enct"), fourcc("encs"),
                                       fourcc("encm"), fourcc("encf"), fourcc("drmi"), fourcc("drms")};
    return std::find(std::begin(kProtected), std::end(kProtected), type) != std::end(kProtected);
}

// A sinf box among the child boxes of a video or sound sample entry (after its fixed fields). Entries
// whose children do not parse carry none this reader can see.
bool hasProtectionScheme(ByteSpan moov, const Box& entry, uint32_t handler)
{
    uint64_t fixed = 0;
    if (handler == fourcc("vide")) fixed = 78;
    if (handler == fourcc("soun")) {
        if (entry.payloadSize() < 10) return false;
        const uint16_t version = loadU16(&moov[entry.payloadOffset() + 8]);
        fixed = version == 1 ? 44 : version == 2 ? 64 : 28;
    }
    if (fixed == 0 || entry.payloadSize() < fixed) return false;
    auto children = boxesBetween(moov, entry.payloadOffset() + fixed, entry.end());
    if (children.isError()) return false;
    return std::any_of(children->begin(), children->end(), [](const Box& b) { return b.type == fourcc("sinf"); });
}

}  // namespace

uint8_t TimecodeEntry::countedFrames() const
{
    if (rate.frameDuration == 0) return rate.frames;
    const uint64_t down = rate.timescale / rate.frameDuration;
    const uint64_t nearest = (uint64_t(rate.timescale) + rate.frameDuration / 2) / rate.frameDuration;
    return rate.frames == down && nearest != down && nearest <= UINT8_MAX ? static_cast<uint8_t>(nearest) : rate.frames;
}

namespace {

// ISO/IEC 14496-12, 8.5.2 (stsd; version 1 where it holds a version 1 audio entry).
ErrorOr<void> parseStsd(ByteSpan moov, const Box& stsd, Track& track)
{
    auto full = KV_TRY(readFullBox(moov, stsd, 1));
    if (full.body.size() < 4) return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("stsd")));
    auto list = KV_TRY(boxesBetween(moov, stsd.payloadOffset() + 8, stsd.end()));
    for (const Box& entry : list) {
        if (isProtectedEntry(entry.type)) return encryptedTrack(entry.type);
        if (hasProtectionScheme(moov, entry, track.handler)) return encryptedTrack(fourcc("sinf"));
    }
    if (list.empty()) return {};
    const Box& first = list.front();
    track.sampleEntryType = first.type;
    if (first.type == fourcc("tmcd")) {
        FieldReader r(payloadOf(moov, first));
        r.skip(6 + 2 + 4);  // reserved, data reference index, reserved
        TimecodeEntry tc;
        tc.flags = r.u32();
        tc.rate.timescale = r.u32();
        tc.rate.frameDuration = r.u32();
        tc.framesAt = first.payloadOffset() + r.position();
        tc.rate.frames = r.u8();
        if (!r.ok()) return damaged(Damage::boxTooShort, box_texts::timecodeDescriptionShort());
        track.timecode = tc;
    }
    return {};
}

// ISO/IEC 14496-12, 8.6.1.2 (stts).
ErrorOr<void> parseStts(ByteSpan moov, const Box& stts, Track& track)
{
    auto full = KV_TRY(readFullBox(moov, stts, 0));
    FieldReader r(full.body);
    const uint32_t count = r.u32();
    if (!r.ok()) return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("stts")));
    KV_TRY(checkTableFits(stts, r.remaining(), count, 8));
    uint64_t samples = 0;
    uint64_t duration = 0;
    uint32_t delta = 0;
    bool constant = true;
    // Samples per duration, for the first few durations seen: a duration most samples have is among
    // them unless it first appears after many others, which no camera writes.
    constexpr size_t kMaxDurations = 64;
    std::vector<std::pair<uint32_t, uint64_t>> durations;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t n = r.u32();
        const uint32_t d = r.u32();
        if (n == 0) continue;
        samples += n;  // entries fit in moov (< 2^27 of them), each < 2^32: no overflow in 64 bits
        duration = checkedAdd(duration, uint64_t(n) * d).value_or(UINT64_MAX);
        if (delta == 0) delta = d;
        else if (d != delta) constant = false;
        auto known = std::find_if(durations.begin(), durations.end(), [d](const auto& e) { return e.first == d; });
        if (known != durations.end()) known->second += n;
        else if (durations.size() < kMaxDurations) durations.push_back({d, n});
    }
    track.sampleCount = samples;
    track.sampleDuration = duration;
    track.constantDelta = constant ? delta : 0;
    for (const auto& [d, n] : durations) {
        if (d > 0 && n * 2 > samples) track.commonDelta = d;
    }
    return {};
}

// ISO/IEC 14496-12, 8.7.4 (stsc).
ErrorOr<void> checkStsc(ByteSpan moov, const Box& stsc)
{
    auto full = KV_TRY(readFullBox(moov, stsc, 0));
    FieldReader r(full.body);
    const uint32_t count = r.u32();
    if (!r.ok()) return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("stsc")));
    return checkTableFits(stsc, r.remaining(), count, 12);
}

// ISO/IEC 14496-12, 8.7.3.2 (stsz).
ErrorOr<void> checkStsz(ByteSpan moov, const Box& stsz)
{
    auto full = KV_TRY(readFullBox(moov, stsz, 0));
    FieldReader r(full.body);
    const uint32_t sampleSize = r.u32();
    const uint32_t count = r.u32();
    if (!r.ok()) return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("stsz")));
    if (sampleSize != 0) return {};
    return checkTableFits(stsz, r.remaining(), count, 4);
}

// ISO/IEC 14496-12, 8.7.5 (stco, co64).
ErrorOr<void> parseChunkTable(ByteSpan moov, const Box& box, ChunkTable& table)
{
    if (table.box) return damaged(Damage::duplicateBox, box_texts::severalChunkOffsetTables());
    auto full = KV_TRY(readFullBox(moov, box, 0));
    FieldReader r(full.body);
    const uint32_t count = r.u32();
    if (!r.ok()) return damaged(Damage::boxTooShort, box_texts::tooShort(box.type));
    const bool wide = box.type == fourcc("co64");
    KV_TRY(checkTableFits(box, r.remaining(), count, wide ? 8 : 4));
    table.box = box;
    table.offsets = ChunkOffsets(full.body.subspan(r.position(), uint64_t(count) * (wide ? 8 : 4)), wide);
    return {};
}

ErrorOr<void> parseStbl(ByteSpan moov, const Box& stbl, Track& track)
{
    const auto children = KV_TRY(childBoxes(moov, stbl));
    if (auto stsd = KV_TRY(uniqueChild(children, fourcc("stsd")))) KV_TRY(parseStsd(moov, *stsd, track));
    track.stts = KV_TRY(uniqueChild(children, fourcc("stts")));
    if (track.stts) KV_TRY(parseStts(moov, *track.stts, track));
    track.stsc = KV_TRY(uniqueChild(children, fourcc("stsc")));
    if (track.stsc) KV_TRY(checkStsc(moov, *track.stsc));
    track.stsz = KV_TRY(uniqueChild(children, fourcc("stsz")));
    if (track.stsz) KV_TRY(checkStsz(moov, *track.stsz));
    for (const Box& child : children) {
        if (child.type == fourcc("saio") || child.type == fourcc("saiz") || child.type == fourcc("senc"))
            return encryptedTrack(child.type);
        if (child.type == fourcc("stco") || child.type == fourcc("co64"))
            KV_TRY(parseChunkTable(moov, child, track.chunks));
    }
    return {};
}

// ISO/IEC 14496-12, 8.3.1 (trak) down to 8.5.1 (stbl); the handler: 8.4.3 (hdlr).
ErrorOr<Track> parseTrak(ByteSpan moov, const Box& trak)
{
    Track track;
    track.trak = trak;
    const auto children = KV_TRY(childBoxes(moov, trak));
    KV_TRY(parseTkhd(moov, KV_TRY(requiredChild(children, fourcc("tkhd"), kTrak)), track));
    if (auto tref = KV_TRY(uniqueChild(children, fourcc("tref")))) KV_TRY(parseTref(moov, *tref, track));

    const Box mdia = KV_TRY(requiredChild(children, fourcc("mdia"), kTrak));
    const auto mdiaChildren = KV_TRY(childBoxes(moov, mdia));
    KV_TRY(parseMdhd(moov, KV_TRY(requiredChild(mdiaChildren, fourcc("mdhd"), mdia.type)), track));
    const Box hdlr = KV_TRY(requiredChild(mdiaChildren, fourcc("hdlr"), mdia.type));
    auto hdlrFull = KV_TRY(readFullBox(moov, hdlr, 0));
    if (hdlrFull.body.size() < 8) return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("hdlr")));
    track.handler = loadU32(&hdlrFull.body[4]);

    const Box minf = KV_TRY(requiredChild(mdiaChildren, fourcc("minf"), mdia.type));
    const auto minfChildren = KV_TRY(childBoxes(moov, minf));
    KV_TRY(checkSelfContained(moov, minfChildren));
    if (auto stbl = KV_TRY(uniqueChild(minfChildren, fourcc("stbl")))) KV_TRY(parseStbl(moov, *stbl, track));
    return track;
}

}  // namespace

bool Track::isVideo() const { return handler == fourcc("vide"); }

bool Track::isTimecode() const
{
    return handler == fourcc("tmcd") && timecode.has_value() && sampleCount > 0 && !chunks.offsets.empty();
}

// ISO/IEC 14496-12, 8.2.1 (moov) and 8.2.2 (mvhd).
ErrorOr<Movie> parseMovie(Bytes moov)
{
    Movie movie;
    movie.moov = std::move(moov);
    const ByteSpan bytes(movie.moov);
    movie.box = KV_TRY(parseBoxHeader(bytes.first(std::min<size_t>(bytes.size(), 24)), 0, bytes.size(), true));
    if (movie.box.type != kMoov || movie.box.size != bytes.size())
        return damaged(Damage::outsideBuffer, box_texts::moovInvalid());

    const auto children = KV_TRY(childBoxes(bytes, movie.box));
    if (KV_TRY(uniqueChild(children, fourcc("mvex"))))
        return exportError(ExportErrorCode::fragmented, box_texts::fragmented());
    movie.mvhd = KV_TRY(requiredChild(children, fourcc("mvhd"), kMoov));
    auto mvhd = KV_TRY(readFullBox(bytes, movie.mvhd, 1));
    // Times, timescale, duration, rate, volume, reserved, matrix, pre-defined, then next_track_ID.
    const size_t mvhdSize = (mvhd.version == 1 ? 28 : 16) + 4 + 2 + 10 + 36 + 24 + 4;
    if (mvhd.body.size() < mvhdSize) return damaged(Damage::boxTooShort, box_texts::tooShort(fourcc("mvhd")));
    movie.nextTrackIdAt = movie.mvhd.payloadOffset() + 4 + mvhdSize - 4;
    movie.nextTrackId = loadU32(&movie.moov[movie.nextTrackIdAt]);

    for (const Box& child : children) {
        if (child.type == fourcc("meta")) movie.metas.push_back(child);
        if (child.type != kTrak) continue;
        auto track = parseTrak(bytes, child);
        if (track.isError()) return track.releaseError();
        movie.tracks.push_back(track.releaseValue());
    }
    return movie;
}

ErrorOr<Movie> parseMovieWithin(Bytes bytes, uint64_t offset, uint64_t size)
{
    if (offset > bytes.size() || size > bytes.size() - offset)
        return damaged(Damage::outsideBuffer, box_texts::moovPastBuffer());
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    bytes.resize(static_cast<size_t>(size));
    return parseMovie(std::move(bytes));
}

ErrorOr<std::vector<SampleRange>> locateSamples(const Movie& movie, const Track& track, size_t maxSamples)
{
    std::vector<SampleRange> samples;
    KV_TRY(visitSamples(movie, track, maxSamples, [&](const SampleRange& sample) -> ErrorOr<void> {
        samples.push_back(sample);
        return {};
    }));
    return samples;
}

namespace {

// The runs of stsc read in step with the chunks: how many samples each chunk holds.
class ChunkRuns {
public:
    explicit ChunkRuns(ByteSpan stscBody) : stsc_(stscBody), runs_(stsc_.u32()) {}

    bool empty() const { return runs_ == 0; }

    // The samples per chunk of chunk (1-based, each asked for in increasing order); 0 before the first run.
    ErrorOr<uint64_t> samplesIn(uint64_t chunk)
    {
        while (chunk >= nextFirst_) KV_TRY(readRun());
        return chunk < runFirst_ ? 0 : runPerChunk_;
    }

private:
    ErrorOr<void> readRun()
    {
        // Entry counts were checked against their boxes by parseMovie.
        if (runsRead_ >= runs_) return damaged(Damage::tableInvalid, box_texts::chunkNumberInvalid());
        const uint64_t first = stsc_.u32();
        runPerChunk_ = stsc_.u32();
        stsc_.skip(4);
        if (first == 0 || first <= runFirst_) return damaged(Damage::tableInvalid, box_texts::chunkNumberInvalid());
        runFirst_ = first;
        nextFirst_ = UINT64_MAX;
        if (++runsRead_ < runs_) {
            FieldReader peek = stsc_;
            nextFirst_ = peek.u32();
        }
        return {};
    }

    FieldReader stsc_;
    uint32_t runs_;
    uint32_t runsRead_ = 0;
    // The current run (first chunk, samples per chunk) and the first chunk of the next one.
    uint64_t runFirst_ = 0, runPerChunk_ = 0, nextFirst_ = 0;
};

// The runs of stts read in step with the samples: when each starts. Past its last run the samples
// start where it ends.
class SampleTimes {
public:
    explicit SampleTimes(ByteSpan sttsBody) : stts_(sttsBody), runs_(stts_.u32()) {}

    // The start of the next sample.
    uint64_t next()
    {
        while (left_ == 0 && runsRead_ < runs_) {
            left_ = stts_.u32();
            delta_ = stts_.u32();
            ++runsRead_;
        }
        const uint64_t start = time_;
        if (left_ > 0) {
            --left_;
            time_ = checkedAdd<uint64_t>(time_, delta_).value_or(UINT64_MAX);
        }
        return start;
    }

private:
    FieldReader stts_;  // entry counts were checked against their boxes by parseMovie
    uint32_t runs_;
    uint32_t runsRead_ = 0;
    uint32_t left_ = 0, delta_ = 0;  // of the current run
    uint64_t time_ = 0;
};

// A track's sample-to-chunk runs and its sample sizes, to be read in step with its chunks.
struct SampleTables {
    ChunkRuns runs;
    FieldReader sizes;  // past the fixed size and the count: one size per sample when fixedSize is 0
    uint32_t fixedSize;
    uint32_t sampleCount;
};

// Nothing for a track without samples.
ErrorOr<std::optional<SampleTables>> sampleTables(const Movie& movie, const Track& track)
{
    if (!track.stsc || !track.stsz || track.chunks.offsets.empty()) return std::optional<SampleTables>();
    const ByteSpan moov(movie.moov);
    ChunkRuns runs(KV_TRY(readFullBox(moov, *track.stsc, 0)).body);
    FieldReader sizes(KV_TRY(readFullBox(moov, *track.stsz, 0)).body);
    const uint32_t fixedSize = sizes.u32();
    const uint32_t sampleCount = sizes.u32();
    return std::optional<SampleTables>(SampleTables{runs, sizes, fixedSize, sampleCount});
}

}  // namespace

ErrorOr<void> visitSamples(const Movie& movie, const Track& track, size_t maxSamples,
                           const std::function<ErrorOr<void>(const SampleRange&)>& visit)
{
    auto tables = KV_TRY(sampleTables(movie, track));
    if (!tables) return {};
    auto& [runs, stsz, fixedSize, sampleCount] = *tables;
    if (sampleCount > maxSamples) return unsupported(box_texts::tooManySamples(track.handler));
    if (runs.empty()) return damaged(Damage::tableInvalid, box_texts::chunkTableEmpty());
    SampleTimes times(track.stts ? KV_TRY(readFullBox(movie.moov, *track.stts, 0)).body : ByteSpan());
    const uint64_t chunkCount = track.chunks.offsets.size();
    uint64_t visited = 0;
    for (uint64_t chunk = 1; chunk <= chunkCount && visited < sampleCount; ++chunk) {
        const uint64_t perChunk = KV_TRY(runs.samplesIn(chunk));
        uint64_t offset = track.chunks.offsets[chunk - 1];
        for (uint64_t i = 0; i < perChunk && visited < sampleCount; ++i) {
            const uint32_t size = fixedSize ? fixedSize : stsz.u32();
            KV_TRY(visit({offset, size, times.next()}));
            ++visited;
            auto next = checkedAdd<uint64_t>(offset, size);
            if (!next) return damaged(Damage::tableInvalid, box_texts::sampleOutOfRange());
            offset = *next;
        }
    }
    if (visited != sampleCount) return damaged(Damage::tableInvalid, box_texts::chunkSamplesMismatch());
    return {};
}

ErrorOr<void> visitChunks(const Movie& movie, const Track& track,
                          const std::function<ErrorOr<void>(const ChunkRange&)>& visit)
{
    auto tables = KV_TRY(sampleTables(movie, track));
    if (!tables) return {};
    auto& [runs, stsz, fixedSize, sampleCount] = *tables;
    if (runs.empty()) return {};  // no chunk holds a sample
    const uint64_t chunkCount = track.chunks.offsets.size();
    uint64_t visited = 0;
    for (uint64_t chunk = 1; chunk <= chunkCount && visited < sampleCount; ++chunk) {
        const uint64_t samples = std::min(KV_TRY(runs.samplesIn(chunk)), sampleCount - visited);
        visited += samples;
        std::optional<uint64_t> size = checkedMul<uint64_t>(samples, fixedSize);
        if (!fixedSize) {
            // A variable-size table holds sampleCount entries (checked by parseMovie).
            uint64_t sum = 0;
            for (uint64_t i = 0; i < samples; ++i) sum += stsz.u32();  // < 2^32 entries of < 2^32: no overflow
            size = sum;
        }
        if (!size || !checkedAdd(track.chunks.offsets[chunk - 1], *size))
            return damaged(Damage::tableInvalid, box_texts::sampleOutOfRange());
        KV_TRY(visit({track.chunks.offsets[chunk - 1], *size}));
    }
    return {};
}

}  // namespace kelvatta
