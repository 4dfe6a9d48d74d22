#include "support/box_tree.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <tuple>

namespace kelvatta::test {
namespace {

bool isContainer(const std::string& type)
{
    for (const char* c : {"moov", "trak", "mdia", "minf", "stbl", "dinf", "edts", "tref", "udta"})
        if (type == c) return true;
    return false;
}

// The size and header size of the box whose header begins head, at pos of a range ending at end.
std::pair<uint64_t, uint64_t> sizeAndHeader(const Bytes& head, size_t at, uint64_t pos, uint64_t end)
{
    const uint64_t small = be32(head, at), header = small == 1 ? 16 : 8;
    const uint64_t size = small == 1 ? be64(head, at + 8) : small == 0 ? end - pos : small;
    if (size < header || pos + size > end) throw std::runtime_error("bad box in test file");
    return {size, header};
}

std::vector<Node> parseRange(const Bytes& b, uint64_t begin, uint64_t end)
{
    std::vector<Node> nodes;
    for (uint64_t pos = begin; pos + 8 <= end;) {
        const auto [size, header] = sizeAndHeader(b, pos, pos, end);
        Node n{std::string(reinterpret_cast<const char*>(&b[pos + 4]), 4), {}, {}, false, pos};
        n.container = isContainer(n.type);
        if (n.container) n.children = parseRange(b, pos + header, pos + size);
        else n.data.assign(b.begin() + static_cast<long>(pos + header), b.begin() + static_cast<long>(pos + size));
        nodes.push_back(std::move(n));
        pos += size;
    }
    return nodes;
}

void append(Bytes& out, const Node& n)
{
    const uint64_t size = n.size();
    put32(out, size > UINT32_MAX ? 1 : static_cast<uint32_t>(size));
    out.insert(out.end(), n.type.begin(), n.type.end());
    if (size > UINT32_MAX) {
        put32(out, static_cast<uint32_t>(size >> 32));
        put32(out, static_cast<uint32_t>(size));
    }
    for (const Node& c : n.children) append(out, c);
    out.insert(out.end(), n.data.begin(), n.data.end());
}

}  // namespace

Node* Node::child(const std::string& t)
{
    for (Node& c : children)
        if (c.type == t) return &c;
    return nullptr;
}

std::vector<Node*> Node::all(const std::string& t)
{
    std::vector<Node*> found;
    for (Node& c : children) {
        if (c.type == t) found.push_back(&c);
        for (Node* deeper : c.all(t)) found.push_back(deeper);
    }
    return found;
}

uint64_t Node::size() const
{
    uint64_t payload = data.size() + external;
    for (const Node& c : children) payload += c.size();
    return payload + 8 > UINT32_MAX ? payload + 16 : payload + 8;
}

Node leaf(const std::string& type, Bytes data) { return Node{type, std::move(data), {}, false, 0}; }

Node container(const std::string& type, std::vector<Node> children)
{
    return Node{type, {}, std::move(children), true, 0};
}

Node movieHeader(uint32_t nextTrackId)
{
    Bytes b = words({0, 0, 0, 1000, 5000});  // times, timescale, duration
    b.resize(b.size() + 4 + 2 + 10 + 36 + 24, 0);
    put32(b, nextTrackId);
    return leaf("mvhd", b);
}

Node textItem(const std::string& type, const std::string& text, size_t length)
{
    if (length == std::string::npos) length = text.size();
    return leaf(type, Bytes{uint8_t(length >> 8), uint8_t(length), 0x15, 0xC7} + Bytes(text.begin(), text.end()));
}

std::vector<Node> parseFile(const Bytes& file) { return parseRange(file, 0, file.size()); }

Bytes serialize(const std::vector<Node>& boxes)
{
    Bytes out;
    for (const Node& n : boxes) append(out, n);
    return out;
}

std::vector<Node> parseFileHeaders(const std::filesystem::path& path, uint64_t largeFrom)
{
    std::ifstream in(path, std::ios::binary);
    const uint64_t end = std::filesystem::file_size(path);
    std::vector<Node> nodes;
    for (uint64_t pos = 0, size = 0; pos + 8 <= end; pos += size) {
        Bytes head(16, 0);
        in.seekg(static_cast<std::streamoff>(pos)).read(reinterpret_cast<char*>(head.data()), 16);
        uint64_t header = 0;
        std::tie(size, header) = sizeAndHeader(head, 0, pos, end);
        if (size - header > largeFrom) {
            nodes.push_back(
                Node{std::string(head.begin() + 4, head.begin() + 8), {}, {}, false, pos, size - header, pos + header});
            continue;
        }
        Bytes box(size);
        in.seekg(static_cast<std::streamoff>(pos)).read(reinterpret_cast<char*>(box.data()), std::ssize(box));
        for (Node& n : parseRange(box, 0, size)) {
            n.offset += pos;
            nodes.push_back(std::move(n));
        }
    }
    return nodes;
}

void writeBoxes(const std::filesystem::path& out, const std::vector<Node>& boxes, const std::filesystem::path& source)
{
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    std::ifstream in(source, std::ios::binary);
    std::vector<char> buffer(8 << 20);
    for (const Node& n : boxes) {
        const Bytes bytes = serialize(n);  // of an external leaf, its header
        file.write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
        in.seekg(static_cast<std::streamoff>(n.externalAt));
        for (uint64_t left = n.external, piece; left > 0; left -= piece) {
            piece = std::min<uint64_t>(left, buffer.size());
            in.read(buffer.data(), static_cast<std::streamsize>(piece));
            file.write(buffer.data(), static_cast<std::streamsize>(piece));
        }
    }
}

Bytes readBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
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

void set32(Bytes& b, size_t at, uint32_t v)
{
    for (size_t i = 0; i < 4; ++i) b.at(at + i) = uint8_t(v >> (24 - 8 * i));
}

Bytes words(std::initializer_list<uint32_t> values)
{
    Bytes b;
    for (uint32_t v : values) put32(b, v);
    return b;
}

std::vector<uint64_t> chunkOffsets(const Node& table)
{
    const bool wide = table.type == "co64";
    std::vector<uint64_t> offsets;
    for (uint32_t i = 0; i < be32(table.data, 4); ++i)
        offsets.push_back(wide ? be64(table.data, 8 + 8 * size_t(i)) : be32(table.data, 8 + 4 * size_t(i)));
    return offsets;
}

Node chunkTable(const std::string& type, const std::vector<uint64_t>& offsets)
{
    Bytes b = words({0, static_cast<uint32_t>(offsets.size())});
    for (uint64_t o : offsets) {
        if (type == "co64") put32(b, static_cast<uint32_t>(o >> 32));
        put32(b, static_cast<uint32_t>(o));
    }
    return leaf(type, b);
}

Node& topLevel(std::vector<Node>& boxes, const std::string& type)
{
    return *std::ranges::find_if(boxes, [&](const Node& n) { return n.type == type; });
}

Node* trackByHandler(Node& moov, const std::string& handler)
{
    for (Node& trak : moov.children) {
        const Node* hdlr = trak.type == "trak" && trak.child("mdia") ? trak.child("mdia")->child("hdlr") : nullptr;
        if (hdlr && hdlr->data.size() >= 12 && std::string(hdlr->data.begin() + 8, hdlr->data.begin() + 12) == handler)
            return &trak;
    }
    return nullptr;
}

}  // namespace kelvatta::test
