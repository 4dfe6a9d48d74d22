#include "support/sony_clip.h"

#include <algorithm>
#include <cstdio>

#include "support/clips.h"
#include "support/temp_dir.h"

namespace kelvatta::test {
namespace {

using Time = std::array<unsigned, 4>;  // hh, mm, ss, ff

// One step of the camera's count: the next frame number, seconds, minutes, hours, with drop-frame
// numbering skipping ;00 and ;01 at each minute but every tenth.
void step(const SonyTimecode& tc, Time& t)
{
    if (++t[3] < tc.fps) return;
    t[3] = 0;
    if (++t[2] < 60) return;
    t[2] = 0;
    if (++t[1] == 60) {
        t[1] = 0;
        t[0] = (t[0] + 1) % 24;
    }
    if (tc.dropFrame && t[1] % 10 != 0) t[3] = tc.fps / 15;  // ;00 ;01 at 30, ;00 to ;03 at 60
}

// The timecode of frame n as the camera counts it: a pair of frames shares one value at half step.
Time frameTime(const SonyTimecode& tc, unsigned n)
{
    Time t = tc.start;
    for (unsigned i = 0; i < (tc.halfStep ? n / 2 : n); ++i) step(tc, t);
    return t;
}

unsigned bcd(unsigned v) { return ((v / 10) << 4) | (v % 10); }

// The XML's "ffssmmhh" in BCD hex, with the drop-frame bit and the second frame of a pair marked.
std::string packedValue(const SonyTimecode& tc, unsigned n)
{
    const Time t = frameTime(tc, n);
    char text[9];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", bcd(t[3]) | (tc.dropFrame ? 0x40 : 0),
                  bcd(t[2]) | (tc.halfStep && n % 2 ? 0x80 : 0), bcd(t[1]), bcd(t[0]));
    return text;
}

// A 28-byte header as an ILME-FX3 writes it, with the frame's timecode (every frame counted: 0..49 at
// 50p), then the lens set (SMPTE label, BER length, local-set items) and a pattern to the sample's
// end. The drop byte stays 0 even in drop-frame clips, as some models write it.
Bytes rtmdSample(const SonyTimecode& tc, unsigned n, size_t size)
{
    SonyTimecode everyFrame = tc;
    if (tc.halfStep) {
        everyFrame = {2 * tc.fps, tc.dropFrame, false, tc.start};
        everyFrame.start[3] *= 2;
    }
    const Time t = frameTime(everyFrame, n);
    // clang-format off
    Bytes s = {0x00, 0x1c, 0x01, 0x00, 0x0a, 0xa3, 0x21, 0x41, 0xf0, 0x01, 0x00, 0x10, 0x00,
               uint8_t(t[0]), uint8_t(t[1]), uint8_t(t[2]), 0x00, uint8_t(t[3]),
               0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x06, 0x0e, 0x2b, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0c, 0x02, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00,
               0x83, 0x00, 0x00, 0x0c,
               0x80, 0x00, 0x00, 0x02, 0x20, 0x00,   // iris F number
               0x80, 0x01, 0x00, 0x02, 0x01, 0x90};  // focus position
    // clang-format on
    while (s.size() < size) s.push_back(uint8_t(n * 7 + s.size() % 251));
    return s;
}

constexpr uint32_t kRtmdPerChunk = 3;

// A timed-metadata track (sample entry rtmd) of `samples` samples in chunks of three; its chunk
// offsets (as many as it will have) are set once the file's layout is known.
Node rtmdTrack(uint32_t trackId, uint32_t timescale, uint32_t delta, uint32_t samples, uint32_t sampleSize)
{
    Bytes tkhd = words({3, 0, 0, trackId, 0, 0, 0, 0, 0, 0, 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000, 0, 0});
    Bytes stsc = words({0, samples % kRtmdPerChunk ? 2u : 1u, 1, kRtmdPerChunk, 1});
    if (samples % kRtmdPerChunk) stsc += words({samples / kRtmdPerChunk + 1, samples % kRtmdPerChunk, 1});
    const Bytes hdlr = words({0, 0, 0x6d657461, 0, 0, 0}) + Bytes{0};       // "meta"
    const Bytes stsd = words({0, 1, 24, 0x72746d64, 0, 1, 0x00001000, 0});  // rtmd: reserved, data reference 1, Sony's
    const Node stbl = container("stbl", {leaf("stsd", stsd), leaf("stts", words({0, 1, samples, delta})),
                                         leaf("stsc", stsc), leaf("stsz", words({0, sampleSize, samples})),
                                         chunkTable("stco", std::vector<uint64_t>((samples + 2) / 3))});
    const Node dinf = container("dinf", {leaf("dref", words({0, 1, 12, 0x75726c20, 1}))});  // "url ", self-contained
    const Node mdhd = leaf("mdhd", words({0, 0, 0, timescale, delta * samples, 0x55c40000}));
    const Node minf = container("minf", {leaf("nmhd", words({0})), dinf, stbl});
    return container("trak", {leaf("tkhd", tkhd), container("mdia", {mdhd, leaf("hdlr", hdlr), minf})});
}

Bytes nrtmMeta(const std::string& xml, bool fullBox)
{
    Bytes xmlBox = words({0});
    xmlBox.insert(xmlBox.end(), xml.begin(), xml.end());
    Bytes meta = fullBox ? words({0}) : Bytes();
    const Node hdlr = leaf("hdlr", words({0, 0, 0x6e72746d, 0, 0, 0}) + Bytes{0});  // "nrtm"
    meta += serialize(std::vector<Node>{hdlr, leaf("xml ", xmlBox)});
    return meta;
}

}  // namespace

Bytes sonyRtmdSamples(const SonyTimecode& timecode, unsigned frames, size_t sampleSize)
{
    Bytes samples;
    for (unsigned n = 0; n < frames; ++n) samples += rtmdSample(timecode, n, sampleSize);
    return samples;
}

Bytes sonyRtmdMovie(unsigned frames, size_t sampleSize)
{
    Node track = rtmdTrack(1, 25, 1, frames, uint32_t(sampleSize));
    std::vector<uint64_t> chunks;
    for (unsigned i = 0; i < frames; i += kRtmdPerChunk) chunks.push_back(i * sampleSize);
    *track.all("stco").front() = chunkTable("stco", chunks);
    return serialize(container("moov", {movieHeader(2), track}));
}

std::string sonyXml(const SonyTimecode& timecode, unsigned frames)
{
    // clang-format off
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<NonRealTimeMeta xmlns=\"urn:schemas-professionalDisc:nonRealTimeMeta:ver.2.20\" "
           "lastUpdate=\"2024-05-01T16:56:07+08:00\">\r\n"
           "\t<TargetMaterial umidRef=\"060A2B340101010501010D4313000000\"/>\r\n"
           "\t<Duration value=\"" + std::to_string(frames) + "\"/>\r\n"
           "\t<LtcChangeTable tcFps=\"" + std::to_string(timecode.fps) + "\" halfStep=\"" +
           (timecode.halfStep ? "true" : "false") + "\">\r\n"
           "\t\t<LtcChange frameCount=\"0\" value=\"" + packedValue(timecode, 0) + "\" status=\"increment\"/>\r\n"
           "\t\t<LtcChange frameCount=\"" + std::to_string(frames - 1) + "\" value=\"" +
           packedValue(timecode, frames - 1) + "\" status=\"end\"/>\r\n"
           "\t</LtcChangeTable>\r\n"
           "\t<CreationDate value=\"2024-05-01T16:56:07+08:00\"/>\r\n"
           "\t<Device manufacturer=\"Sony\" modelName=\"ILME-FX3\" serialNo=\"5012345\"/>\r\n"
           "\t<Lens modelName=\"FE 24-70mm F2.8 GM II\"/>\r\n"
           "</NonRealTimeMeta>\r\n";
    // clang-format on
}

const Bytes& sonyClip()
{
    static const Bytes bytes = [] {
        const TempDir dir;
        return makeClip(dir / "plain.mov", {.frameRate = "25"})
                   ? addSonyStructures(readBytes(dir / "plain.mov"), {.timecode = kSonyClipTimecode})
                   : Bytes();
    }();
    return bytes;
}

Bytes addSonyStructures(const Bytes& file, const SonyStyle& style)
{
    return serialize(addSonyStructures(parseFile(file), style));
}

std::vector<Node> addSonyStructures(std::vector<Node> top, const SonyStyle& style)
{
    const auto isMoov = [](const Node& n) { return n.type == "moov"; };
    Node* moov = &*std::ranges::find_if(top, isMoov);
    Node* video = trackByHandler(*moov, "vide");
    const uint32_t timescale = be32(video->all("mdhd").front()->data, 12);
    const Bytes& stts = video->all("stts").front()->data;
    const uint32_t frames = be32(stts, 8), delta = be32(stts, 12), sampleSize = uint32_t(style.rtmdSampleSize);
    const std::string xml = sonyXml(style.timecode, frames);
    if (style.xml == XmlPlace::inMoov) moov->children.push_back(leaf("meta", nrtmMeta(xml, false)));
    if (sampleSize) {
        Bytes& mvhd = moov->child("mvhd")->data;
        const uint32_t trackId = be32(mvhd, mvhd.size() - 4);
        set32(mvhd, mvhd.size() - 4, trackId + 1);
        moov->children.insert(moov->children.begin() + 1 + static_cast<long>(moov->all("trak").size()),
                              rtmdTrack(trackId, timescale, delta, frames, sampleSize));
    }
    if (style.co64)
        for (Node* stco : moov->all("stco")) *stco = chunkTable("co64", chunkOffsets(*stco));
    // The top level: the camera's brands (XAVC, also an MPEG-4 file) and profile box first, the rtmd
    // samples' mdat with the media data (before moov where moov comes last, as cameras write it), the
    // camera's XML at the end.
    top.front().data = words({0x58415643, 0x100, 0x58415643, 0x6d703432, 0x69736f32});  // XAVC 0x100: XAVC mp42 iso2
    top.insert(top.begin() + 1, leaf("uuid", Bytes{0x50, 0x52, 0x4f, 0x46, 0x21, 0xd2, 0x4f, 0xce, 0xbb, 0x88, 0x69,
                                                   0x5c, 0xfa, 0xc9, 0xc7, 0x40} +
                                                 Bytes(64, 0x11)));
    const auto moovAt = std::ranges::find_if(top, isMoov);
    const bool moovLast = std::none_of(moovAt, top.end(), [](const Node& n) { return n.type == "mdat"; });
    if (sampleSize)
        top.insert(moovLast ? moovAt : top.end(), leaf("mdat", sonyRtmdSamples(style.timecode, frames, sampleSize)));
    if (style.xml == XmlPlace::topLevel) top.push_back(leaf("meta", nrtmMeta(xml, true)));

    // Move every chunk offset with the mdat it points into (co64 where it no longer fits 32 bits); the
    // rtmd track points at its own mdat.
    std::vector<std::pair<uint64_t, int64_t>> moves;  // old payload start -> shift
    uint64_t at = 0, rtmdData = 0;
    for (const Node& n : top) {
        if (n.type == "mdat" && n.offset != 0) moves.push_back({n.offset + 8, int64_t(at) - int64_t(n.offset)});
        if (n.type == "mdat" && n.offset == 0) rtmdData = at + 8;  // offset 0: the new one
        at += n.size();
    }
    moov = &*std::ranges::find_if(top, isMoov);
    // Both kinds of table: a source over 4 GiB comes with co64 already.
    const auto tablesOf = [](Node& node) {
        std::vector<Node*> tables = node.all("stco");
        for (Node* wide : node.all("co64")) tables.push_back(wide);
        return tables;
    };
    const Node* rtmdTable = sampleSize ? tablesOf(*trackByHandler(*moov, "meta")).front() : nullptr;
    for (Node* table : tablesOf(*moov)) {
        std::vector<uint64_t> list = chunkOffsets(*table);
        for (uint64_t& o : list) {
            const auto move = std::find_if(moves.rbegin(), moves.rend(), [&](const auto& m) { return o >= m.first; });
            if (move != moves.rend()) o = uint64_t(int64_t(o) + move->second);
        }
        if (table == rtmdTable) {
            list.clear();
            for (uint64_t i = 0; i < frames; i += kRtmdPerChunk) list.push_back(rtmdData + i * sampleSize);
        }
        const bool wide = style.co64 || std::ranges::any_of(list, [](uint64_t o) { return o > UINT32_MAX; });
        *table = chunkTable(wide ? "co64" : "stco", list);
    }
    return top;
}

}  // namespace kelvatta::test
