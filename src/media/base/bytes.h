// Big-endian integers in byte buffers, and a writer that builds boxes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvatta {

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

// A box type from its four characters.
constexpr uint32_t fourcc(const char (&s)[5])
{
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
           uint32_t(uint8_t(s[3]));
}

// The four characters of a box type, non-printable bytes as '?'.
std::string fourccText(uint32_t type);

// Readers of big-endian integers; the caller has checked that the bytes are there.
inline uint16_t loadU16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t loadU32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint64_t loadU64(const uint8_t* p) { return (uint64_t(loadU32(p)) << 32) | loadU32(p + 4); }
inline void storeU32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Appends big-endian fields to a buffer. Boxes are opened and closed like brackets: close() writes the
// size of the box opened last. Sizes above 4 GiB never arise here (moov is capped far below); should
// one arise, ok() turns false rather than a wrong size being taken for right.
class ByteWriter {
public:
    explicit ByteWriter(Bytes& out) : out_(out) {}

    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v)
    {
        u8(uint8_t(v >> 8));
        u8(uint8_t(v));
    }
    void u32(uint32_t v)
    {
        u16(uint16_t(v >> 16));
        u16(uint16_t(v));
    }
    void u64(uint64_t v)
    {
        u32(uint32_t(v >> 32));
        u32(uint32_t(v));
    }
    void type(uint32_t t) { u32(t); }
    void zeros(size_t n) { out_.insert(out_.end(), n, 0); }
    void bytes(ByteSpan b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void text(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }

    // Starts a box of this type; a full box also gets version and flags.
    void open(uint32_t boxType)
    {
        starts_.push_back(out_.size());
        u32(0);
        type(boxType);
    }
    void openFull(uint32_t boxType, uint8_t version, uint32_t flags)
    {
        open(boxType);
        u32((uint32_t(version) << 24) | (flags & 0xFFFFFF));
    }
    // Ends the box opened last.
    void close();

    size_t size() const { return out_.size(); }
    // False once a box grew past 4 GiB.
    bool ok() const { return ok_; }

private:
    Bytes& out_;
    std::vector<size_t> starts_;
    bool ok_ = true;
};

}  // namespace kelvatta
