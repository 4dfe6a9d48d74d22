#include "media/timecode_track.h"

#include <charconv>

#include "media/box_reader.h"

namespace kelvatta {
namespace {

constexpr uint64_t kSecondsPerDay = 24 * 3600;

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

void writeTkhd(ByteWriter& w, const TimecodeTrackParams& p)
{
    const uint8_t version = fits32(p.movieDuration) ? 0 : 1;
    // Flags: in movie only, as QuickTime's own timecode tracks are (not a track to be played).
    w.openFull(fourcc("tkhd"), version, 0x000002);
    writeVersioned(w, version, 0);  // creation time
    writeVersioned(w, version, 0);  // modification time
    w.u32(p.trackId);
    w.u32(0);
    writeVersioned(w, version, p.movieDuration);
    w.zeros(8);         // reserved
    w.u16(0);           // layer
    w.u16(0);           // alternate group
    w.u16(0);           // volume
    w.u16(0);           // reserved
    writeIdentityMatrix(w);
    w.u32(0);           // width
    w.u32(0);           // height
    w.close();
}

void writeMdhd(ByteWriter& w, const TimecodeTrackParams& p)
{
    const uint8_t version = fits32(p.mediaDuration) ? 0 : 1;
    w.openFull(fourcc("mdhd"), version, 0);
    writeVersioned(w, version, 0);
    writeVersioned(w, version, 0);
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
    w.u16(0);       // balance
    w.u16(0);       // reserved
    w.close();
    w.open(fourcc("tmcd"));
    w.openFull(fourcc("tcmi"), 0, 0);
    w.u16(0);       // text font
    w.u16(0);       // text face
    w.u16(12);      // text size
    w.u16(0);       // reserved
    w.u16(0);       // text colour: black
    w.u16(0);
    w.u16(0);
    w.u16(0xFFFF);  // background colour: white
    w.u16(0xFFFF);
    w.u16(0xFFFF);
    w.u8(0);        // font name: empty Pascal string
    w.close();
    w.close();
    w.close();
}

void writeDinf(ByteWriter& w)
{
    w.open(fourcc("dinf"));
    w.openFull(fourcc("dref"), 0, 0);
    w.u32(1);
    w.openFull(fourcc("url "), 0, 1);  // self-contained: the data is in this file
    w.close();
    w.close();
    w.close();
}

void writeStbl(ByteWriter& w, const TimecodeTrackParams& p, uint8_t frames)
{
    w.open(fourcc("stbl"));
    w.openFull(fourcc("stsd"), 0, 0);
    w.u32(1);
    w.open(fourcc("tmcd"));
    w.zeros(6);   // reserved
    w.u16(1);     // data reference index
    w.u32(0);     // reserved
    w.u32(0);     // flags: non-drop-frame counting
    w.u32(p.mediaTimescale);
    w.u32(p.frameDuration);
    w.u8(frames);
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
    w.openFull(fourcc("stco"), 0, 0);
    w.u32(1);
    w.u32(p.sampleOffset);
    w.close();
    w.close();
}

bool parseTwoDigits(std::string_view s, uint32_t& out)
{
    if (s.size() != 2) return false;
    auto r = std::from_chars(s.data(), s.data() + 2, out);
    return r.ec == std::errc() && r.ptr == s.data() + 2;
}

}  // namespace

std::optional<Timecode> Timecode::parse(std::string_view text)
{
    if (text.size() != 11 || text[2] != ':' || text[5] != ':' || (text[8] != ':' && text[8] != ';'))
        return std::nullopt;
    Timecode tc;
    if (!parseTwoDigits(text.substr(0, 2), tc.hours) || !parseTwoDigits(text.substr(3, 2), tc.minutes) ||
        !parseTwoDigits(text.substr(6, 2), tc.seconds) || !parseTwoDigits(text.substr(9, 2), tc.frames))
        return std::nullopt;
    if (tc.hours > 23 || tc.minutes > 59 || tc.seconds > 59) return std::nullopt;
    return tc;
}

uint64_t Timecode::frameNumber(uint32_t framesPerSecond) const
{
    return (uint64_t(hours) * 3600 + uint64_t(minutes) * 60 + seconds) * framesPerSecond + frames;
}

uint32_t rebaseFrame(uint32_t value, uint32_t first, uint64_t target, uint32_t tmcdFlags, uint32_t framesPerSecond)
{
    const int64_t distance = int64_t(value) - int64_t(first);
    if ((tmcdFlags & 2) && framesPerSecond > 0) {
        const int64_t day = int64_t(kSecondsPerDay * framesPerSecond);
        const int64_t r = (int64_t(target % uint64_t(day)) + distance % day + day) % day;
        return static_cast<uint32_t>(r);
    }
    return static_cast<uint32_t>(uint64_t(target) + uint64_t(distance));
}

std::optional<uint8_t> timecodeFrameRate(uint32_t timescale, uint32_t frameDuration)
{
    if (frameDuration == 0 || timescale == 0) return std::nullopt;
    const uint64_t rounded = (uint64_t(timescale) + frameDuration / 2) / frameDuration;
    if (rounded == 0 || rounded > 255) return std::nullopt;
    return static_cast<uint8_t>(rounded);
}

Bytes buildTimecodeTrak(const TimecodeTrackParams& p, uint8_t frames)
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
    writeStbl(w, p, frames);
    w.close();  // minf
    w.close();  // mdia
    w.close();  // trak
    return out;
}

Bytes buildTimecodeReference(uint32_t trackId)
{
    Bytes out;
    ByteWriter w(out);
    w.open(fourcc("tref"));
    w.open(fourcc("tmcd"));
    w.u32(trackId);
    w.close();
    w.close();
    return out;
}

}  // namespace kelvatta
