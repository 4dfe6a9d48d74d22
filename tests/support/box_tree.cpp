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

}  // namespace

Bytes fullHeader(uint32_t versionFlags)
{
    Bytes b;
    put32(b, versionFlags);
    return b;
}

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
        payload = external ? external : data.size();
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

std::vector<Node> parseFileHeaders(const std::filesystem::path& path, uint64_t largeFrom)
{
    std::ifstream in(path, std::ios::binary);
    const uint64_t end = std::filesystem::file_size(path);
    std::vector<Node> nodes;
    for (uint64_t pos = 0; pos + 8 <= end;) {
        Bytes head(16, 0);
        in.seekg(static_cast<std::streamoff>(pos));
        in.read(reinterpret_cast<char*>(head.data()), 16);
        uint64_t size = be32(head, 0), header = 8;
        if (size == 1) size = be64(head, 8), header = 16;
        else if (size == 0) size = end - pos;
        if (size < header || pos + size > end) throw std::runtime_error("bad box in test file");
        if (size - header > largeFrom) {
            Node n = leaf(std::string(reinterpret_cast<const char*>(&head[4]), 4), {});
            n.offset = pos;
            n.external = size - header;
            n.externalAt = pos + header;
            nodes.push_back(std::move(n));
        } else {
            Bytes box(size);
            in.seekg(static_cast<std::streamoff>(pos));
            in.read(reinterpret_cast<char*>(box.data()), static_cast<std::streamsize>(size));
            for (Node& n : parseRange(box, 0, size)) {
                n.offset += pos;
                nodes.push_back(std::move(n));
            }
        }
        pos += size;
    }
    return nodes;
}

void writeFile(const std::filesystem::path& out, const std::vector<Node>& boxes, const std::filesystem::path& source)
{
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    std::ifstream in(source, std::ios::binary);
    std::vector<char> buffer(8 << 20);
    for (const Node& n : boxes) {
        if (!n.external) {
            const Bytes bytes = serialize(n);
            file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            continue;
        }
        Bytes header;
        if (n.size() > UINT32_MAX) {
            header = {0, 0, 0, 1};
            header.insert(header.end(), n.type.begin(), n.type.end());
            put64(header, n.size());
        } else {
            put32(header, static_cast<uint32_t>(n.size()));
            header.insert(header.end(), n.type.begin(), n.type.end());
        }
        file.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
        in.seekg(static_cast<std::streamoff>(n.externalAt));
        for (uint64_t left = n.external; left > 0;) {
            const auto piece = static_cast<std::streamsize>(std::min<uint64_t>(left, buffer.size()));
            in.read(buffer.data(), piece);
            file.write(buffer.data(), piece);
            left -= static_cast<uint64_t>(piece);
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

}  // namespace kelvatta::test
