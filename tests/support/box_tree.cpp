#include "support/box_tree.h"

#include <fstream>
#include <iterator>
#include <algorithm>
#include <stdexcept>

namespace kelvatta::test {
namespace {

bool isContainer(const std::string& type)
{
    static const char* const kContainers[] = {"moov", "trak", "mdia", "minf", "stbl", "dinf", "edts", "tref", "udta"};
    for (const char* c : kContainers)
        if (type == c) return true;
    return false;
}

std::vector<Node> parseRange(const Bytes& b, uint64_t begin, uint64_t end)
{
    std::vector<Node> nodes;
    uint64_t pos = begin;
    while (pos + 8 <= end) {
        uint64_t size = be32(b, pos);
        uint64_t header = 8;
        if (size == 1) {
            size = be64(b, pos + 8);
            header = 16;
        } else if (size == 0) {
            size = end - pos;
        }
        if (size < header || pos + size > end) throw std::runtime_error("bad box in test file");
        Node n;
        n.type.assign(reinterpret_cast<const char*>(&b[pos + 4]), 4);
        n.offset = pos;
        if (isContainer(n.type)) {
            n.container = true;
            n.children = parseRange(b, pos + header, pos + size);
        } else {
            n.data.assign(b.begin() + static_cast<long>(pos + header), b.begin() + static_cast<long>(pos + size));
        }
        nodes.push_back(std::move(n));
        pos += size;
    }
    return nodes;
}

void append(Bytes& out, const Node& n)
{
    const uint64_t size = n.size();
    if (size > UINT32_MAX) {
        put32(out, 1);
        out.insert(out.end(), n.type.begin(), n.type.end());
        put64(out, size);
    } else {
        put32(out, static_cast<uint32_t>(size));
        out.insert(out.end(), n.type.begin(), n.type.end());
    }
    if (n.container)
        for (const Node& c : n.children) append(out, c);
    else
        out.insert(out.end(), n.data.begin(), n.data.end());
}

Bytes fullHeader(uint32_t versionFlags = 0)
{
    Bytes b;
    put32(b, versionFlags);
    return b;
}

// Offsets of the top-level boxes when serialized.
std::vector<uint64_t> layout(const std::vector<Node>& top)
{
    std::vector<uint64_t> offsets;
    uint64_t pos = 0;
    for (const Node& n : top) {
        offsets.push_back(pos);
        pos += n.size();
    }
    return offsets;
}

Node makeRtmdTrack(uint32_t trackId, uint32_t timescale, uint32_t delta, uint32_t samples)
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
    put32(stsz, 1024);
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

}  // namespace

Node* Node::child(const std::string& t)
{
    for (Node& c : children)
        if (c.type == t) return &c;
    return nullptr;
}

const Node* Node::child(const std::string& t) const { return const_cast<Node*>(this)->child(t); }

std::vector<Node*> Node::all(const std::string& t)
{
    std::vector<Node*> found;
    for (Node& c : children) {
        if (c.type == t) found.push_back(&c);
        auto deeper = c.all(t);
        found.insert(found.end(), deeper.begin(), deeper.end());
    }
    return found;
}

uint64_t Node::size() const
{
    uint64_t payload = 0;
    if (container)
        for (const Node& c : children) payload += c.size();
    else
        payload = data.size();
    return payload + 8 > UINT32_MAX ? payload + 16 : payload + 8;
}

Node leaf(const std::string& type, Bytes data)
{
    Node n;
    n.type = type;
    n.data = std::move(data);
    return n;
}

Node container(const std::string& type, std::vector<Node> children)
{
    Node n;
    n.type = type;
    n.container = true;
    n.children = std::move(children);
    return n;
}

std::vector<Node> parseFile(const Bytes& file) { return parseRange(file, 0, file.size()); }

Bytes serialize(const std::vector<Node>& boxes)
{
    Bytes out;
    for (const Node& n : boxes) append(out, n);
    return out;
}

Bytes serialize(const Node& box)
{
    Bytes out;
    append(out, box);
    return out;
}

Bytes readBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t be32(const Bytes& b, size_t at)
{
    return (uint32_t(b.at(at)) << 24) | (uint32_t(b.at(at + 1)) << 16) | (uint32_t(b.at(at + 2)) << 8) | b.at(at + 3);
}

uint64_t be64(const Bytes& b, size_t at) { return (uint64_t(be32(b, at)) << 32) | be32(b, at + 4); }

void put32(Bytes& b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

void put64(Bytes& b, uint64_t v)
{
    put32(b, uint32_t(v >> 32));
    put32(b, uint32_t(v));
}

void set32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.at(at + static_cast<size_t>(i)) = uint8_t(v >> (24 - 8 * i));
}

std::vector<uint64_t> chunkOffsets(const Node& table)
{
    const bool wide = table.type == "co64";
    const uint32_t count = be32(table.data, 4);
    std::vector<uint64_t> offsets;
    for (uint32_t i = 0; i < count; ++i)
        offsets.push_back(wide ? be64(table.data, 8 + 8 * size_t(i)) : be32(table.data, 8 + 4 * size_t(i)));
    return offsets;
}

Node chunkTable(const std::string& type, const std::vector<uint64_t>& offsets)
{
    Bytes b = fullHeader();
    put32(b, static_cast<uint32_t>(offsets.size()));
    for (uint64_t o : offsets) {
        if (type == "co64") put64(b, o);
        else put32(b, static_cast<uint32_t>(o));
    }
    return leaf(type, b);
}

Node* trackByHandler(Node& moov, const std::string& handler)
{
    for (Node& trak : moov.children) {
        if (trak.type != "trak") continue;
        const Node* hdlr = trak.child("mdia") ? trak.child("mdia")->child("hdlr") : nullptr;
        if (hdlr && hdlr->data.size() >= 12 && std::string(hdlr->data.begin() + 8, hdlr->data.begin() + 12) == handler)
            return &trak;
    }
    return nullptr;
}

Bytes addSonyStructures(const Bytes& file, const SonyStyle& style)
{
    std::vector<Node> top = parseFile(file);
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
        const uint32_t perChunk = be32(stsc->data, 12);
        Bytes table = fullHeader();
        put32(table, 2);
        for (uint32_t v : {1u, perChunk, 1u, 3u, perChunk, 2u}) put32(table, v);
        stsc->data = table;
    }
    if (style.movieMeta) {
        Bytes hdlr = fullHeader();
        put32(hdlr, 0);
        hdlr.insert(hdlr.end(), {'n', 'r', 't', 'm'});
        hdlr.resize(hdlr.size() + 12 + 1, 0);
        const std::string xml = "<?xml version=\"1.0\"?><NonRealTimeMeta><LtcChangeTable tcFps=\"30\">"
                                "<LtcChange frameCount=\"0\" value=\"04030201\" status=\"increment\"/>"
                                "</LtcChangeTable></NonRealTimeMeta>";
        Bytes xmlBox = fullHeader();
        xmlBox.insert(xmlBox.end(), xml.begin(), xml.end());
        Bytes meta = fullHeader();
        Bytes inner = serialize(std::vector<Node>{leaf("hdlr", hdlr), leaf("xml ", xmlBox)});
        meta.insert(meta.end(), inner.begin(), inner.end());
        moov.children.push_back(leaf("meta", meta));
    }
    uint32_t rtmdSamples = 0;
    if (style.rtmdTrack) {
        rtmdSamples = frames;
        Bytes& mvhd = moov.child("mvhd")->data;
        const uint32_t trackId = be32(mvhd, mvhd.size() - 4);
        set32(mvhd, mvhd.size() - 4, trackId + 1);
        moov.children.insert(moov.children.begin() + 1 + static_cast<long>(moov.all("trak").size()),
                             makeRtmdTrack(trackId, timescale, delta, frames));
    }
    if (style.co64) {
        for (Node* stco : moov.all("stco")) *stco = chunkTable("co64", chunkOffsets(*stco));
    }
    // The top level changes last: moov and video point into it.
    if (style.rtmdTrack) {
        Bytes samples(size_t(rtmdSamples) * 1024);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint8_t((i / 1024) * 7 + i % 251);
        top.push_back(leaf("mdat", samples));
    }
    if (style.profileUuid) {
        Bytes payload = {0x50, 0x52, 0x4f, 0x46, 0x21, 0xd2, 0x4f, 0xce, 0xbb, 0x88, 0x69, 0x5c, 0xfa, 0xc9, 0xc7, 0x40};
        payload.resize(payload.size() + 64, 0x11);
        top.insert(top.begin() + 1, leaf("uuid", payload));
    }

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
        for (const char* t : {"stco", "co64"}) {
            for (Node* table : trak.all(t)) {
                auto list = chunkOffsets(*table);
                if (rtmdSamples && &trak == trackByHandler(newMoov, "meta")) {
                    list = {offsets.back() + 8};
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
                *table = chunkTable(t, list);
            }
        }
    }
    return serialize(top);
}

}  // namespace kelvatta::test
