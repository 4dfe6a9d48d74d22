#include "media/boxes/box_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "media/base/media_error.h"
#include "media/boxes/box_texts.h"
#include "platform/checked.h"

namespace kelvatta {

std::string fourccText(uint32_t type)
{
    std::string s(4, '?');
    for (int i = 0; i < 4; ++i) {
        auto c = static_cast<unsigned char>(type >> (24 - 8 * i));
        if (c >= 0x20 && c < 0x7F) s[static_cast<size_t>(i)] = static_cast<char>(c);
        else if (c == 0xA9) s[static_cast<size_t>(i)] = '@';  // QuickTime's © boxes
    }
    return s;
}

std::string quotedType(uint32_t type) { return "“" + fourccText(type) + "”"; }

void ByteWriter::close()
{
    size_t start = starts_.back();
    starts_.pop_back();
    size_t size = out_.size() - start;
    if (size > UINT32_MAX) ok_ = false;
    storeU32(&out_[start], static_cast<uint32_t>(size));
}

ErrorOr<Box> parseBoxHeader(ByteSpan head, uint64_t offset, uint64_t limit, bool toEndAllowed)
{
    if (offset > limit || limit - offset < 8 || head.size() < 8)
        return damaged(Damage::headerCut, box_texts::headerCut());
    Box box;
    box.offset = offset;
    box.type = loadU32(&head[4]);
    const uint64_t room = limit - offset;
    uint64_t size = loadU32(&head[0]);
    if (size == 1) {
        if (room < 16 || head.size() < 16) return damaged(Damage::headerCut, box_texts::headerCut(box.type));
        size = loadU64(&head[8]);
        box.headerSize = 16;
    } else if (size == 0) {
        if (!toEndAllowed) return damaged(Damage::sizeZero, box_texts::sizeZero(box.type));
        size = room;
    }
    if (box.type == fourcc("uuid")) box.headerSize += 16;
    if (size < box.headerSize) return damaged(Damage::smallerThanHeader, box_texts::smallerThanHeader(box.type));
    if (size > room) {
        if (toEndAllowed) return damaged(Damage::pastEnd, box_texts::pastFileEnd(box.type));
        return damaged(Damage::pastParent, box_texts::pastParent(box.type));
    }
    box.size = size;
    return box;
}

ErrorOr<std::vector<Box>> boxesBetween(ByteSpan buffer, uint64_t begin, uint64_t end)
{
    std::vector<Box> boxes;
    if (end > buffer.size() || begin > end) return damaged(Damage::outsideBuffer, box_texts::outsideBuffer());
    uint64_t pos = begin;
    while (pos < end) {
        if (boxes.size() >= kMaxChildBoxes) return damaged(Damage::tooManyBoxes, box_texts::tooManyChildren());
        if (end - pos < 8) return damaged(Damage::headerCut, box_texts::childCut());
        ByteSpan head = buffer.subspan(pos, static_cast<size_t>(std::min<uint64_t>(24, end - pos)));
        auto box = parseBoxHeader(head, pos, end, false);
        if (box.isError()) return box.releaseError();
        pos = box->end();
        boxes.push_back(*box);
    }
    return boxes;
}

ErrorOr<std::vector<Box>> childBoxes(ByteSpan buffer, const Box& parent)
{
    return boxesBetween(buffer, parent.payloadOffset(), parent.end());
}

ErrorOr<std::optional<Box>> uniqueChild(const std::vector<Box>& children, uint32_t type)
{
    std::optional<Box> found;
    for (const Box& b : children) {
        if (b.type != type) continue;
        if (found) return damaged(Damage::duplicateBox, box_texts::duplicate(type));
        found = b;
    }
    return found;
}

ErrorOr<FullBox> readFullBox(ByteSpan buffer, const Box& box, uint8_t newestVersion)
{
    ByteSpan payload = payloadOf(buffer, box);
    if (payload.size() < 4) return damaged(Damage::boxTooShort, box_texts::tooShort(box.type));
    FullBox full;
    full.version = payload[0];
    if (full.version > newestVersion)
        return damaged(Damage::unknownVersion, box_texts::unknownVersion(box.type, full.version));
    full.flags = (uint32_t(payload[1]) << 16) | (uint32_t(payload[2]) << 8) | payload[3];
    full.body = payload.subspan(4);
    return full;
}

bool looksLikeBoxFile(ByteSpan firstBytes)
{
    if (firstBytes.size() < 8) return false;
    static constexpr uint32_t kOpeners[] = {fourcc("ftyp"), fourcc("moov"), fourcc("mdat"), fourcc("free"),
                                            fourcc("skip"), fourcc("wide"), fourcc("pnot"), fourcc("uuid")};
    const uint32_t type = loadU32(&firstBytes[4]);
    return std::find(std::begin(kOpeners), std::end(kOpeners), type) != std::end(kOpeners);
}

ErrorOr<std::vector<Box>> scanTopLevel(ByteSource& source)
{
    std::vector<Box> boxes;
    const uint64_t fileSize = source.size();
    uint64_t pos = 0;
    const auto printable = [](const uint8_t* type) {
        return std::all_of(type, type + 4, [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
    };
    while (pos < fileSize) {
        if (boxes.size() >= kMaxTopLevelBoxes) return damaged(Damage::tooManyBoxes, box_texts::tooManyTopLevel());
        uint8_t head[24];
        auto n = source.readAt(head, sizeof head, pos);
        if (n.isError()) return n.releaseError();
        if (*n < std::min<uint64_t>(8, fileSize - pos)) return damaged(Damage::fileShrank, box_texts::fileShrank());
        // A type of zeros is a box's (zeros as a file grown and not yet written leaves them read as one
        // running to the end).
        if (*n < 8 || (!printable(head + 4) && loadU32(head + 4) != 0)) {
            boxes.push_back(Box{kTrailer, pos, fileSize - pos, 0});
            break;
        }
        auto box = parseBoxHeader(ByteSpan(head, *n), pos, fileSize, true);
        if (box.isError()) return box.releaseError();
        pos = box->end();
        boxes.push_back(*box);
    }
    return boxes;
}

std::optional<Box> trailerOf(const std::vector<Box>& topLevel)
{
    if (topLevel.empty() || topLevel.back().type != kTrailer) return std::nullopt;
    return topLevel.back();
}

ErrorOr<Bytes> readBox(ByteSource& source, const Box& box)
{
    auto size = checkedCast<size_t>(box.size);
    if (!size) return tooLarge(box_texts::tooLarge(box.type));
    Bytes bytes;
    KV_TRY(reserveBytes(bytes, *size, box_texts::reading(box.type, *size)));
    bytes.resize(*size);
    auto n = source.readAt(bytes.data(), bytes.size(), box.offset);
    if (n.isError()) return n.releaseError();
    if (*n != bytes.size()) return damaged(Damage::fileShrank, box_texts::fileShrank());
    return bytes;
}

ErrorOr<void> reserveBytes(Bytes& bytes, size_t capacity, const std::string& doing)
{
    // A capacity past what a vector may hold is memory this program cannot have either.
    try {
        bytes.reserve(capacity);
    } catch (const std::bad_alloc&) {
        return posixError(ENOMEM, box_texts::outOfMemoryWhile(doing));
    } catch (const std::length_error&) {
        return posixError(ENOMEM, box_texts::outOfMemoryWhile(doing));
    }
    return {};
}

}  // namespace kelvatta
