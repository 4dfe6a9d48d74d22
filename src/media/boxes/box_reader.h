// Reading ISO base media / QuickTime boxes from untrusted bytes (ISO/IEC 14496-12, 4.2 Object
// structure; QuickTime File Format, "Atoms"): every header is checked against the bytes of its
// parent, sizes are checked arithmetic, and box counts are limited. Nothing here recurses: the readers
// above descend along fixed paths (moov/trak/mdia/minf/stbl/...), so nesting is bounded by those paths
// however deep a file nests its boxes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/base/byte_source.h"
#include "media/base/bytes.h"
#include "platform/error.h"

namespace kelvatta {

// More children than this in one box, or top-level boxes in one file, is taken for damage.
inline constexpr size_t kMaxChildBoxes = 1u << 20;
inline constexpr size_t kMaxTopLevelBoxes = 1u << 16;

struct Box {
    uint32_t type = 0;
    uint64_t offset = 0;  // of its first byte, in the buffer or file it was read from
    uint64_t size = 0;    // header included
    uint32_t headerSize = 8;

    uint64_t payloadOffset() const { return offset + headerSize; }
    uint64_t payloadSize() const { return size - headerSize; }
    uint64_t end() const { return offset + size; }  // cannot overflow: checked when parsed
};

// Parses the header of a box starting at `offset` whose bytes must end by `limit`. head holds the
// box's first bytes (up to 24; fewer only where the parent ends sooner). A size of 0 means "to the
// end", which only a top-level box may say (toEndAllowed).
ErrorOr<Box> parseBoxHeader(ByteSpan head, uint64_t offset, uint64_t limit, bool toEndAllowed);

// The child boxes of parent (or the boxes in [parent.payloadOffset(), parent.end())) in buffer.
ErrorOr<std::vector<Box>> childBoxes(ByteSpan buffer, const Box& parent);
// The boxes in [begin, end) of buffer (the entries of a sample description or data reference table).
ErrorOr<std::vector<Box>> boxesBetween(ByteSpan buffer, uint64_t begin, uint64_t end);

// The one child of this type, nothing when there is none, an error when there are several.
ErrorOr<std::optional<Box>> uniqueChild(const std::vector<Box>& children, uint32_t type);

// The payload of a box in buffer.
inline ByteSpan payloadOf(ByteSpan buffer, const Box& box)
{
    return buffer.subspan(box.payloadOffset(), box.payloadSize());
}
inline ByteSpan bytesOf(ByteSpan buffer, const Box& box) { return buffer.subspan(box.offset, box.size); }

// Reads fields one after another from a span; reading past its end yields zeros and marks the
// reader failed, so a parser checks ok() once after a group of fields.
class FieldReader {
public:
    explicit FieldReader(ByteSpan bytes) : bytes_(bytes) {}

    uint8_t u8() { return take(1) ? bytes_[pos_ - 1] : 0; }
    uint16_t u16() { return take(2) ? loadU16(&bytes_[pos_ - 2]) : 0; }
    uint32_t u32() { return take(4) ? loadU32(&bytes_[pos_ - 4]) : 0; }
    uint64_t u64() { return take(8) ? loadU64(&bytes_[pos_ - 8]) : 0; }
    // 32 or 64 bits, as a full box's version says.
    uint64_t uVersioned(uint8_t version) { return version == 1 ? u64() : u32(); }
    void skip(size_t n) { (void)take(n); }

    bool ok() const { return ok_; }
    size_t position() const { return pos_; }
    size_t remaining() const { return bytes_.size() - pos_; }

private:
    bool take(size_t n)
    {
        if (!ok_ || n > bytes_.size() - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    ByteSpan bytes_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// A full box's version, flags and body (ISO/IEC 14496-12, 4.2 FullBox).
struct FullBox {
    uint8_t version = 0;
    uint32_t flags = 0;
    ByteSpan body;
};
// A version past newestVersion lays its fields out in a way this program does not know: it is
// damage of its own kind (Damage::unknownVersion), never read as an older one.
ErrorOr<FullBox> readFullBox(ByteSpan buffer, const Box& box, uint8_t newestVersion);

// True when the first bytes of a file start a box of a type that opens ISO base media or QuickTime
// files (ftyp, moov, mdat, free, skip, wide, pnot, uuid): the test by content that picks the box path.
bool looksLikeBoxFile(ByteSpan firstBytes);

// The type of the trailer among a file's top-level boxes (see scanTopLevel): none a box has there.
inline constexpr uint32_t kTrailer = 0xFFFFFFFF;

// The top-level boxes of source. What follows the last box and is none is its trailer, listed last as a
// Box of type kTrailer without a header: fewer than 8 bytes, or bytes whose type field is neither four
// printable characters nor zeros (no box has such a type; Insta360's cameras keep their gyro and lens record
// there, recorders an appended block). A box that runs past the end of the file is damage (a file cut
// short).
ErrorOr<std::vector<Box>> scanTopLevel(ByteSource& source);

// The trailer of a file's top level, nothing when it has none.
std::optional<Box> trailerOf(const std::vector<Box>& topLevel);

// Reads exactly box's bytes from source.
ErrorOr<Bytes> readBox(ByteSource& source, const Box& box);

// Room for capacity bytes in all in bytes; when memory runs out, an error saying what was being done
// (box_texts::reading, box_texts::outOfMemoryWhile) rather than an exception. For the buffers that grow with the
// moov, whose allocation is the one most likely to fail.
ErrorOr<void> reserveBytes(Bytes& bytes, size_t capacity, const std::string& doing);

// "“stco”" style quoting of a box type for error texts.
std::string quotedType(uint32_t type);

}  // namespace kelvatta
