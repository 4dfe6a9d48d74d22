#include "support/sony_clip.h"

#include <algorithm>
#include <cstdio>

namespace kelvatta::test {
namespace {

// One step of the camera's count: the next frame number, seconds, minutes, hours, with drop-frame
// numbering skipping ;00 and ;01 at each minute but every tenth.
void step(const SonyTimecode& tc, std::array<unsigned, 4>& t)
{
    if (++t[3] < tc.fps) return;
    t[3] = 0;
    if (++t[2] == 60) {
        t[2] = 0;
        if (++t[1] == 60) {
            t[1] = 0;
            t[0] = (t[0] + 1) % 24;
        }
        if (tc.dropFrame && t[1] % 10 != 0) t[3] = tc.fps / 15;  // ;00 ;01 at 30, ;00 to ;03 at 60
    }
}

unsigned bcd(unsigned v) { return ((v / 10) << 4) | (v % 10); }

Node makeRtmdTrack(uint32_t trackId, uint32_t timescale, uint32_t delta, uint32_t samples, uint32_t sampleSize)
{
    Bytes tkhd = fullHeader(3);
    put32(tkhd, 0);
    put32(tkhd, 0);
    put32(tkhd, trackId);
    put32(tkhd, 0);
    put32(tkhd, 0);  // duration
    tkhd.resize(tkhd.size() + 8 + 8, 0);
    const uint32_t matrix[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (uint32_t v : matrix) put32(tkhd, v);
    put32(tkhd, 0);
    put32(tkhd, 0);

    Bytes mdhd = fullHeader();
    put32(mdhd, 0);
    put32(mdhd, 0);
    put32(mdhd, timescale);
    put32(mdhd, delta * samples);
    put32(mdhd, 0x55c40000);

    Bytes hdlr = fullHeader();
    put32(hdlr, 0);
    hdlr.insert(hdlr.end(), {'m', 'e', 't', 'a'});
    hdlr.resize(hdlr.size() + 12 + 1, 0);

    Bytes entry;  // rtmd sample entry: reserved, data reference index, then Sony's own bytes
    put32(entry, 8 + 8 + 8);
    entry.insert(entry.end(), {'r', 't', 'm', 'd'});
    entry.insert(entry.end(), {0, 0, 0, 0, 0, 0, 0, 1});
    put32(entry, 0x00001000);
    put32(entry, 0);
    Bytes stsd = fullHeader();
    put32(stsd, 1);
    stsd.insert(stsd.end(), entry.begin(), entry.end());
    Bytes stts = fullHeader();
    put32(stts, 1);
    put32(stts, samples);
    put32(stts, delta);
    Bytes stsc = fullHeader();
    put32(stsc, 1);
    put32(stsc, 1);
    put32(stsc, samples);
    put32(stsc, 1);
    Bytes stsz = fullHeader();
    put32(stsz, sampleSize);
    put32(stsz, samples);
    Bytes dref = fullHeader();
    put32(dref, 1);
    put32(dref, 12);
    dref.insert(dref.end(), {'u', 'r', 'l', ' ', 0, 0, 0, 1});

    return container("trak", {leaf("tkhd", tkhd),
                              container("mdia", {leaf("mdhd", mdhd), leaf("hdlr", hdlr),
                                                 container("minf", {leaf("nmhd", fullHeader()),
                                                                    container("dinf", {leaf("dref", dref)}),
                                                                    container("stbl", {leaf("stsd", stsd), leaf("stts", stts),
                                                                                       leaf("stsc", stsc), leaf("stsz", stsz),
                                                                                       chunkTable("stco", {0})})})})});
}


// A 28-byte header as an ILME-FX3 writes it, with the frame's timecode, then the lens set (SMPTE
// label, BER length, local-set items) and a pattern to the sample's end. The drop byte stays 0 even
// in drop-frame clips, as some models write it.
Bytes rtmdSample(const SonyTimecode& tc, unsigned n, size_t size)
{
    Bytes s = {0x00, 0x1c, 0x01, 0x00, 0x0a, 0xa3, 0x21, 0x41, 0xf0, 0x01, 0x00, 0x10, 0x00};
    const auto t = sonyRtmdTimecode(tc, n);
    s.insert(s.end(), {uint8_t(t[0]), uint8_t(t[1]), uint8_t(t[2]), 0x00, uint8_t(t[3])});
    s.insert(s.end(), {0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    s.insert(s.end(), {0x06, 0x0e, 0x2b, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0c, 0x02, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00});
    s.insert(s.end(), {0x83, 0x00, 0x00, 0x0c});
    s.insert(s.end(), {0x80, 0x00, 0x00, 0x02, 0x20, 0x00});  // iris F number
    s.insert(s.end(), {0x80, 0x01, 0x00, 0x02, 0x01, 0x90});  // focus position
    while (s.size() < size) s.push_back(uint8_t(n * 7 + s.size() % 251));
    return s;
}

Bytes nrtmMeta(const std::string& xml, bool fullBox)
{
    Bytes hdlr = fullHeader();
    put32(hdlr, 0);
    hdlr.insert(hdlr.end(), {'n', 'r', 't', 'm'});
    hdlr.resize(hdlr.size() + 12 + 1, 0);
    Bytes xmlBox = fullHeader();
    xmlBox.insert(xmlBox.end(), xml.begin(), xml.end());
    Bytes meta = fullBox ? fullHeader() : Bytes();
    Bytes inner = serialize(std::vector<Node>{leaf("hdlr", hdlr), leaf("xml ", xmlBox)});
    meta.insert(meta.end(), inner.begin(), inner.end());
    return meta;
}

}  // namespace

std::array<unsigned, 4> sonyFrameTimecode(const SonyTimecode& timecode, unsigned n)
{
    std::array<unsigned, 4> t = timecode.start;
    for (unsigned i = 0; i < (timecode.halfStep ? n / 2 : n); ++i) step(timecode, t);
    return t;
}

Bytes sonyRtmdSamples(const SonyTimecode& timecode, unsigned frames, size_t sampleSize)
{
    Bytes samples;
    for (unsigned n = 0; n < frames; ++n) {
        const Bytes sample = rtmdSample(timecode, n, sampleSize);
        samples.insert(samples.end(), sample.begin(), sample.end());
    }
    return samples;
}

std::array<unsigned, 4> sonyRtmdTimecode(const SonyTimecode& timecode, unsigned n)
{
    SonyTimecode everyFrame = timecode;
    if (timecode.halfStep) {
        everyFrame.fps *= 2;
        everyFrame.halfStep = false;
        everyFrame.start[3] *= 2;
    }
    return sonyFrameTimecode(everyFrame, n);
}

std::string sonyPackedValue(const SonyTimecode& timecode, unsigned n)
{
    const auto t = sonyFrameTimecode(timecode, n);
    char text[9];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", bcd(t[3]) | (timecode.dropFrame ? 0x40 : 0),
                  bcd(t[2]) | (timecode.halfStep && n % 2 ? 0x80 : 0), bcd(t[1]), bcd(t[0]));
    return text;
}

std::string sonyXml(const SonyTimecode& timecode, unsigned frames)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<NonRealTimeMeta xmlns=\"urn:schemas-professionalDisc:nonRealTimeMeta:ver.2.20\" "
           "lastUpdate=\"2024-05-01T16:56:07+08:00\">\r\n"
           "\t<TargetMaterial umidRef=\"060A2B340101010501010D4313000000\"/>\r\n"
           "\t<Duration value=\"" + std::to_string(frames) + "\"/>\r\n"
           "\t<LtcChangeTable tcFps=\"" + std::to_string(timecode.fps) + "\" halfStep=\"" +
           (timecode.halfStep ? "true" : "false") + "\">\r\n"
           "\t\t<LtcChange frameCount=\"0\" value=\"" + sonyPackedValue(timecode, 0) + "\" status=\"increment\"/>\r\n"
           "\t\t<LtcChange frameCount=\"" + std::to_string(frames - 1) + "\" value=\"" +
           sonyPackedValue(timecode, frames - 1) + "\" status=\"end\"/>\r\n"
           "\t</LtcChangeTable>\r\n"
           "\t<CreationDate value=\"2024-05-01T16:56:07+08:00\"/>\r\n"
           "\t<Device manufacturer=\"Sony\" modelName=\"ILME-FX3\" serialNo=\"5012345\"/>\r\n"
           "\t<Lens modelName=\"FE 24-70mm F2.8 GM II\"/>\r\n"
           "</NonRealTimeMeta>\r\n";
}

Bytes addSonyStructures(const Bytes& file, const SonyStyle& style)
{
    return serialize(addSonyStructures(parseFile(file), style));
}

std::vector<Node> addSonyStructures(std::vector<Node> top, const SonyStyle& style)
{
    auto findMoov = [&]() -> Node& {
        return *std::find_if(top.begin(), top.end(), [](const Node& n) { return n.type == "moov"; });
    };
    Node& moov = findMoov();
    Node* video = trackByHandler(moov, "vide");
    const uint32_t timescale = be32(video->all("mdhd").front()->data, 12);
    const uint32_t frames = be32(video->all("stts").front()->data, 8);
    const uint32_t delta = be32(video->all("stts").front()->data, 12);
    if (style.secondAvc1) {
        // stsd: the first entry twice; stsc: chunks from the third on use the second.
        Node* stsd = video->all("stsd").front();
        const uint32_t entrySize = be32(stsd->data, 8);
        Bytes entry(stsd->data.begin() + 8, stsd->data.begin() + 8 + entrySize);
        stsd->data.insert(stsd->data.end(), entry.begin(), entry.end());
        set32(stsd->data, 4, 2);
        Node* stsc = video->all("stsc").front();
        // Chunks from the third on use the second description: runs split at chunk 3.
        std::vector<std::array<uint32_t, 3>> runs;
        for (uint32_t i = 0; i < be32(stsc->data, 4); ++i)
            runs.push_back({be32(stsc->data, 8 + 12 * i), be32(stsc->data, 12 + 12 * i), 1});
        std::vector<std::array<uint32_t, 3>> split;
        for (size_t i = 0; i < runs.size(); ++i) {
            const uint32_t next = i + 1 < runs.size() ? runs[i + 1][0] : UINT32_MAX;
            if (runs[i][0] < 3 && next > 3) {
                split.push_back(runs[i]);
                split.push_back({3, runs[i][1], 2});
            } else {
                split.push_back({runs[i][0], runs[i][1], runs[i][0] >= 3 ? 2u : 1u});
            }
        }
        Bytes table = fullHeader();
        put32(table, static_cast<uint32_t>(split.size()));
        for (const auto& run : split)
            for (uint32_t v : run) put32(table, v);
        stsc->data = table;
    }
    const std::string xml = sonyXml(style.timecode, frames);
    if (style.xml == XmlPlace::inMoov) moov.children.push_back(leaf("meta", nrtmMeta(xml, false)));
    uint32_t rtmdSamples = 0;
    if (style.rtmdTrack) {
        rtmdSamples = frames;
        Bytes& mvhd = moov.child("mvhd")->data;
        const uint32_t trackId = be32(mvhd, mvhd.size() - 4);
        set32(mvhd, mvhd.size() - 4, trackId + 1);
        moov.children.insert(moov.children.begin() + 1 + static_cast<long>(moov.all("trak").size()),
                             makeRtmdTrack(trackId, timescale, delta, frames, uint32_t(style.rtmdSampleSize)));
    }
    if (style.co64) {
        for (Node* stco : moov.all("stco")) *stco = chunkTable("co64", chunkOffsets(*stco));
    }
    // The top level changes last: moov and video point into it.
    size_t rtmdData = 0;
    if (style.rtmdTrack) {
        // With the media data, before moov where moov comes last (as cameras write it).
        const auto moovAt = std::find_if(top.begin(), top.end(), [](const Node& n) { return n.type == "moov"; });
        const bool moovLast = std::none_of(moovAt, top.end(), [](const Node& n) { return n.type == "mdat"; });
        const auto at = moovLast ? moovAt : top.end();
        rtmdData = static_cast<size_t>(at - top.begin());
        top.insert(at, leaf("mdat", sonyRtmdSamples(style.timecode, rtmdSamples, style.rtmdSampleSize)));
    }
    if (style.xml == XmlPlace::topLevel) top.push_back(leaf("meta", nrtmMeta(xml, true)));
    if (style.profileUuid) {
        Bytes payload = {0x50, 0x52, 0x4f, 0x46, 0x21, 0xd2, 0x4f, 0xce, 0xbb, 0x88, 0x69, 0x5c, 0xfa, 0xc9, 0xc7, 0x40};
        payload.resize(payload.size() + 64, 0x11);
        top.insert(top.begin() + 1, leaf("uuid", payload));
        ++rtmdData;
    }
    // The camera's brands: XAVC, also an MPEG-4 file.
    top.front().data = {'X', 'A', 'V', 'C', 0, 0, 0x01, 0x00, 'X', 'A', 'V', 'C', 'm', 'p', '4', '2', 'i', 's', 'o', '2'};

    // Move every chunk offset with the mdat it points into; the rtmd track points at the new mdat.
    auto offsets = layout(top);
    Node& newMoov = findMoov();
    std::vector<std::pair<uint64_t, int64_t>> moves;  // old payload start -> shift
    for (size_t i = 0; i < top.size(); ++i) {
        if (top[i].type != "mdat" || top[i].offset == 0) continue;  // offset 0: the new rtmd mdat
        moves.push_back({top[i].offset + 8, int64_t(offsets[i]) - int64_t(top[i].offset)});
    }
    for (Node& trak : newMoov.children) {
        if (trak.type != "trak") continue;
        std::vector<Node*> tables = trak.all("stco");
        for (Node* table : trak.all("co64")) tables.push_back(table);
        {
            for (Node* table : tables) {
                const std::string t = table->type;
                auto list = chunkOffsets(*table);
                if (rtmdSamples && &trak == trackByHandler(newMoov, "meta")) {
                    list = {offsets[rtmdData] + 8};
                } else {
                    for (uint64_t& o : list) {
                        for (auto it = moves.rbegin(); it != moves.rend(); ++it) {
                            if (o >= it->first) {
                                o = uint64_t(int64_t(o) + it->second);
                                break;
                            }
                        }
                    }
                }
                const bool wide = std::any_of(list.begin(), list.end(), [](uint64_t o) { return o > UINT32_MAX; });
                *table = chunkTable(wide ? "co64" : t, list);
            }
        }
    }
    return top;
}

}  // namespace kelvatta::test
