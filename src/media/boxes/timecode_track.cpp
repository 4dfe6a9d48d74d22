#include "media/boxes/timecode_track.h"

#include <cmath>
#include <utility>

#include "media/base/media_error.h"
#include "media/boxes/box_reader.h"
#include "media/boxes/box_texts.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

// The identity matrix of tkhd/mvhd (16.16 and 2.30 fixed point).
void writeIdentityMatrix(ByteWriter& w)
{
    const uint32_t m[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m) w.u32(v);
}

bool fits32(uint64_t v) { return v <= UINT32_MAX; }

// A 32- or 64-bit field, as the box's version says.
void writeVersioned(ByteWriter& w, uint8_t version, uint64_t v)
{
    if (version == 1) w.u64(v);
    else w.u32(static_cast<uint32_t>(v));
}

uint8_t versionFor(uint64_t a, uint64_t b, uint64_t c) { return fits32(a) && fits32(b) && fits32(c) ? 0 : 1; }

void writeTkhd(ByteWriter& w, const TimecodeTrackParams& p)
{
    const uint8_t version = versionFor(p.movieDuration, p.created, p.modified);
    // Flags: in movie only, as QuickTime's own timecode tracks are (not a track to be played).
    w.openFull(fourcc("tkhd"), version, 0x000002);
    writeVersioned(w, version, p.created);
    writeVersioned(w, version, p.modified);
    w.u32(p.trackId);
    w.u32(0);
    writeVersioned(w, version, p.movieDuration);
    w.zeros(8);  // reserved
    w.u16(0);    // layer
    w.u16(0);    // alternate group
    w.u16(0);    // volume
    w.u16(0);    // reserved
    writeIdentityMatrix(w);
    w.u32(0);  // width
    w.u32(0);  // height
    w.close();
}

void writeMdhd(ByteWriter& w, const TimecodeTrackParams& p)
{
    const uint8_t version = versionFor(p.mediaDuration, p.mediaCreated, p.mediaModified);
    w.openFull(fourcc("mdhd"), version, 0);
    writeVersioned(w, version, p.mediaCreated);
    writeVersioned(w, version, p.mediaModified);
    w.u32(p.mediaTimescale);
    writeVersioned(w, version, p.mediaDuration);
    w.u16(p.language);
    w.u16(0);
    w.close();
}

void writeHdlr(ByteWriter& w, uint32_t componentType, uint32_t handlerType)
{
    w.openFull(fourcc("hdlr"), 0, 0);
    w.type(componentType);
    w.type(handlerType);
    w.zeros(12);
    w.u8(0);  // empty name: a C string and a Pascal string alike
    w.close();
}

// gmhd { gmin, tmcd { tcmi } }: the media header of a QuickTime timecode track.
void writeGmhd(ByteWriter& w)
{
    w.open(fourcc("gmhd"));
    w.openFull(fourcc("gmin"), 0, 0);
    w.u16(0x0040);  // graphics mode: copy
    w.u16(0x8000);  // opcolor
    w.u16(0x8000);
    w.u16(0x8000);
    w.u16(0);  // balance
    w.u16(0);  // reserved
    w.close();
    w.open(fourcc("tmcd"));
    w.openFull(fourcc("tcmi"), 0, 0);
    w.u16(0);   // text font
    w.u16(0);   // text face
    w.u16(12);  // text size
    w.u16(0);   // reserved
    w.u16(0);   // text colour: black
    w.u16(0);
    w.u16(0);
    w.u16(0xFFFF);  // background colour: white
    w.u16(0xFFFF);
    w.u16(0xFFFF);
    w.u8(0);  // font name: empty Pascal string
    w.close();
    w.close();
    w.close();
}

void writeDinf(ByteWriter& w)
{
    w.open(fourcc("dinf"));
    w.openFull(fourcc("dref"), 0, 0);
    w.u32(1);
    w.openFull(fourcc("url "), 0, kDataReferenceSelfContained);
    w.close();
    w.close();
    w.close();
}

void writeStbl(ByteWriter& w, const TimecodeTrackParams& p)
{
    w.open(fourcc("stbl"));
    w.openFull(fourcc("stsd"), 0, 0);
    w.u32(1);
    w.open(fourcc("tmcd"));
    w.zeros(6);  // reserved
    w.u16(1);    // data reference index
    w.u32(0);    // reserved
    w.u32(p.flags);
    w.u32(p.rate.timescale);
    w.u32(p.rate.frameDuration);
    w.u8(p.rate.frames);
    w.u8(0);
    w.close();
    w.close();

    // One sample spanning the video track (its duration capped to the 32-bit field: 39 hours at
    // a timescale of 30000, beyond any recording).
    w.openFull(fourcc("stts"), 0, 0);
    w.u32(1);
    w.u32(1);
    w.u32(static_cast<uint32_t>(std::min<uint64_t>(p.mediaDuration, UINT32_MAX)));
    w.close();
    w.openFull(fourcc("stsc"), 0, 0);
    w.u32(1);
    w.u32(1);  // first chunk
    w.u32(1);  // samples per chunk
    w.u32(1);  // sample description
    w.close();
    w.openFull(fourcc("stsz"), 0, 0);
    w.u32(4);
    w.u32(1);
    w.close();
    if (p.sampleOffset > UINT32_MAX) {
        w.openFull(fourcc("co64"), 0, 0);
        w.u32(1);
        w.u64(p.sampleOffset);
    } else {
        w.openFull(fourcc("stco"), 0, 0);
        w.u32(1);
        w.u32(static_cast<uint32_t>(p.sampleOffset));
    }
    w.close();
    w.close();
}

}  // namespace

uint32_t rebaseFrame(uint32_t value, uint32_t first, uint64_t target, uint32_t tmcdFlags, uint32_t framesPerSecond)
{
    const int64_t distance = int64_t(value) - int64_t(first);
    const TimecodeCounting counting{framesPerSecond, (tmcdFlags & kTimecodeDropFrame) != 0, false};
    if ((tmcdFlags & kTimecodeWrapsAt24Hours) && counting.valid()) {
        const auto day = static_cast<int64_t>(counting.positionsPerDay());
        const int64_t r = (int64_t(target % uint64_t(day)) + distance % day + day) % day;
        return static_cast<uint32_t>(r);
    }
    return static_cast<uint32_t>(uint64_t(target) + uint64_t(distance));
}

namespace {

// The frames at the sample entry's rate in a time of the track's media timescale, rounded; nothing
// when the rates are not known or the product does not fit.
std::optional<uint64_t> framesIn(uint64_t time, const Track& track)
{
    const TimecodeRate& rate = track.timecode->rate;
    const auto scaled = checkedMul<uint64_t>(time, rate.timescale);
    const uint64_t per = uint64_t(track.mediaTimescale) * rate.frameDuration;  // < 2^64
    if (!scaled || per == 0) return std::nullopt;
    return *scaled / per + (*scaled % per >= per - *scaled % per ? 1 : 0);
}

}  // namespace

ErrorOr<TimecodeSamples> readTimecodeSamples(const Movie& movie, const Track& track, ByteSource& source)
{
    const auto ranges = KV_TRY(locateSamples(movie, track, kMaxTimecodeSamples));
    {
        Prefetch ahead(source);
        for (const SampleRange& range : ranges) ahead.add(range.offset, 4);
    }
    const TimecodeCounting counting = track.timecode->counting();
    TimecodeRun run(counting, counting.dropFrame);
    TimecodeSamples out;
    for (const SampleRange& range : ranges) {
        if (range.size < 4) return damaged(Damage::sampleCut, box_texts::timecodeSampleShort());
        uint8_t number[4];
        if (KV_TRY(source.readAt(number, 4, range.offset)) != 4)
            return damaged(Damage::sampleCut, box_texts::timecodeSamplePastEnd());
        out.samples.push_back({range.offset, loadU32(number)});
        const auto frame = framesIn(range.time - ranges.front().time, track);
        if (frame && counting.valid()) run.add(*frame, counting.valueAt(loadU32(number)));
    }
    out.jump = run.jump();
    return out;
}

std::optional<uint8_t> timecodeFrameRate(uint32_t timescale, uint32_t frameDuration)
{
    if (frameDuration == 0 || timescale == 0) return std::nullopt;
    const uint64_t rounded = (uint64_t(timescale) + frameDuration / 2) / frameDuration;
    if (rounded == 0 || rounded > 255) return std::nullopt;
    return static_cast<uint8_t>(rounded);
}

std::optional<std::pair<uint32_t, uint32_t>> commonFrameRate(double fps)
{
    static constexpr std::pair<uint32_t, uint32_t> kRates[] = {
        {24000, 1001}, {24, 1},       {25, 1}, {30000, 1001}, {30, 1},        {48000, 1001}, {48, 1},
        {50, 1},       {60000, 1001}, {60, 1}, {100, 1},      {120000, 1001}, {120, 1},
    };
    // The nearest: 30 lies within half a percent of 29.97 too.
    std::optional<std::pair<uint32_t, uint32_t>> nearest;
    double nearestDistance = 0.005;
    for (auto rate : kRates) {
        const double common = double(rate.first) / rate.second;
        const double distance = std::abs(fps - common) / common;
        if (distance < nearestDistance) {
            nearest = rate;
            nearestDistance = distance;
        }
    }
    return nearest;
}

std::optional<TimecodeRate> nominalTimecodeRate(uint32_t mediaTimescale, uint32_t constantDelta, uint32_t commonDelta,
                                                uint64_t sampleCount, uint64_t sampleDuration)
{
    if (mediaTimescale == 0 || sampleCount == 0) return std::nullopt;
    if (constantDelta) {
        const auto frames = timecodeFrameRate(mediaTimescale, constantDelta);
        if (!frames) return std::nullopt;
        return TimecodeRate{mediaTimescale, constantDelta, *frames};
    }
    const double delta = commonDelta ? double(commonDelta) : double(sampleDuration) / double(sampleCount);
    if (!(delta > 0)) return std::nullopt;
    const double fps = double(mediaTimescale) / delta;
    if (const auto common = commonFrameRate(fps)) {
        // Integer rates in thousandths, as 23.976 is 24000/1001.
        const uint32_t timescale = common->second == 1 ? common->first * 1000 : common->first;
        const uint32_t frameDuration = common->second == 1 ? 1000 : common->second;
        return TimecodeRate{timescale, frameDuration, *timecodeFrameRate(timescale, frameDuration)};
    }
    const double rounded = std::round(fps);
    if (rounded < 1 || rounded > 255) return std::nullopt;
    const auto frames = static_cast<uint32_t>(rounded);
    return TimecodeRate{frames * 1000, 1000, static_cast<uint8_t>(frames)};
}

Bytes buildTimecodeTrak(const TimecodeTrackParams& p)
{
    Bytes out;
    ByteWriter w(out);
    w.open(fourcc("trak"));
    writeTkhd(w, p);
    w.open(fourcc("mdia"));
    writeMdhd(w, p);
    writeHdlr(w, fourcc("mhlr"), fourcc("tmcd"));
    w.open(fourcc("minf"));
    writeGmhd(w);
    writeDinf(w);
    writeStbl(w, p);
    w.close();  // minf
    w.close();  // mdia
    w.close();  // trak
    return out;
}

Bytes buildTimecodeReference(uint32_t trackId, ByteSpan otherReferences)
{
    Bytes out;
    ByteWriter w(out);
    w.open(fourcc("tref"));
    w.bytes(otherReferences);
    w.open(fourcc("tmcd"));
    w.u32(trackId);
    w.close();
    w.close();
    return out;
}

}  // namespace kelvatta
