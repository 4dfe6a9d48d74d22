// A test's own view of an MP4/MOV file as a tree of boxes, to inspect outputs and to give ffmpeg's
// clips the structures Sony cameras write. Kept apart from the program's reader on purpose: a fault
// there must not hide itself in the tests. Only for small, trusted files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kelvatta::test {

using Bytes = std::vector<uint8_t>;

struct Node {
    std::string type;
    Bytes data;                  // payload of a leaf (after the header)
    std::vector<Node> children;  // of a container
    bool container = false;
    uint64_t offset = 0;      // where it was in the file it was read from
    uint64_t external = 0;    // a leaf's payload size when it was left in that file (not in data)
    uint64_t externalAt = 0;  // and where that payload starts there

    Node* child(const std::string& t);
    const Node* child(const std::string& t) const { return const_cast<Node*>(this)->child(t); }
    std::vector<Node*> all(const std::string& t);  // every descendant of this type, depth first
    uint64_t size() const;
};

Node leaf(const std::string& type, Bytes data);
Node container(const std::string& type, std::vector<Node> children);

// A movie header (version 0: timescale 1000, 5 s) naming the next track ID, for synthetic movies.
Node movieHeader(uint32_t nextTrackId);

// A QuickTime international text item: its length (the text's unless told), language 0x15C7, the text.
Node textItem(const std::string& type, const std::string& text, size_t length = std::string::npos);

// Top-level boxes; moov, trak, mdia, minf, stbl, dinf, edts, tref and udta are opened as containers.
std::vector<Node> parseFile(const Bytes& file);
Bytes serialize(const std::vector<Node>& boxes);
inline Bytes serialize(const Node& box) { return serialize(std::vector<Node>{box}); }

// The top-level boxes of a file too large to hold: leaves larger than largeFrom stay in the file
// (external), the rest is read as parseFile reads it. writeBoxes writes such boxes, copying what
// stayed behind from source.
std::vector<Node> parseFileHeaders(const std::filesystem::path& path, uint64_t largeFrom);
void writeBoxes(const std::filesystem::path& out, const std::vector<Node>& boxes, const std::filesystem::path& source);

Bytes readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const Bytes& bytes);

uint32_t be32(const Bytes& b, size_t at);
uint64_t be64(const Bytes& b, size_t at);
void put32(Bytes& b, uint32_t v);
void set32(Bytes& b, size_t at, uint32_t v);
// 32-bit big-endian words, e.g. a full box's version and flags followed by its fields.
Bytes words(std::initializer_list<uint32_t> values);
inline Bytes& operator+=(Bytes& a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes operator+(Bytes a, const Bytes& b) { return a += b; }

// The chunk offsets of an stco or co64 leaf, and a new table of the given type.
std::vector<uint64_t> chunkOffsets(const Node& table);
Node chunkTable(const std::string& type, const std::vector<uint64_t>& offsets);

// The first top-level box of this type (there must be one).
Node& topLevel(std::vector<Node>& boxes, const std::string& type);
inline const Node& topLevel(const std::vector<Node>& boxes, const std::string& type)
{
    return topLevel(const_cast<std::vector<Node>&>(boxes), type);
}

// The trak whose mdia/hdlr has this handler type ("vide", "soun", "tmcd", "meta"), or nullptr.
Node* trackByHandler(Node& moov, const std::string& handler);

}  // namespace kelvatta::test
