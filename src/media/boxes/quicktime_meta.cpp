#include "media/boxes/quicktime_meta.h"

#include <algorithm>

#include "media/base/media_error.h"
#include "media/boxes/box_texts.h"

namespace kelvatta {
namespace {

constexpr uint32_t kMdta = fourcc("mdta");

std::string_view keyOf(const MetadataItem& item)
{
    return std::string_view(item.identifier).substr(std::string_view(kMetadataKeySpaceQuickTimeMetadata).size() + 1);
}

// Only string items of the QuickTime key space can be written as the caller means them.
ErrorOr<void> checkItems(const std::vector<MetadataItem>& items)
{
    const std::string prefix = std::string(kMetadataKeySpaceQuickTimeMetadata) + "/";
    for (const MetadataItem& item : items) {
        if (item.identifier.rfind(prefix, 0) != 0 || item.identifier.size() == prefix.size())
            return unsupported(box_texts::unsupportedItem(item.identifier));
        if (item.dataType != kMetadataDataTypeString) return unsupported(box_texts::unsupportedItemType(item.dataType));
    }
    return {};
}

// A keys entry: its size, the key's namespace, then the key without terminator.
void writeKey(ByteWriter& w, std::string_view key)
{
    w.open(kMdta);
    w.text(key);
    w.close();
}

// An ilst item: its type is the 1-based index of its key; one data box holding the value.
void writeItem(ByteWriter& w, uint32_t index, std::string_view value)
{
    w.open(index);
    w.open(fourcc("data"));
    w.u32(1);  // well-known type 1: UTF-8
    w.u32(0);  // default locale
    w.text(value);
    w.close();
    w.close();
}

// The meta's handler type, nothing when it has no single hdlr.
ErrorOr<std::optional<uint32_t>> handlerOf(ByteSpan buffer, const std::vector<Box>& children)
{
    auto hdlr = uniqueChild(children, fourcc("hdlr"));
    if (hdlr.isError() || !*hdlr) return std::optional<uint32_t>();
    const auto body = KV_TRY(readFullBox(buffer, **hdlr, 0)).body;  // pre_defined, then the handler type
    if (body.size() < 8) return std::optional<uint32_t>();
    return std::optional<uint32_t>(loadU32(&body[4]));
}

}  // namespace

std::optional<MetaLayout> metaLayout(ByteSpan buffer, const Box& meta)
{
    const ByteSpan payload = payloadOf(buffer, meta);
    if (payload.size() >= 8 && loadU32(&payload[4]) == fourcc("hdlr")) return MetaLayout{false, meta.headerSize};
    if (payload.size() >= 12 && loadU32(&payload[8]) == fourcc("hdlr")) return MetaLayout{true, meta.headerSize + 4u};
    return std::nullopt;
}

ErrorOr<Bytes> buildQuickTimeMeta(const std::vector<MetadataItem>& items)
{
    Bytes out;
    if (items.empty()) return out;
    KV_TRY(checkItems(items));

    ByteWriter w(out);
    w.open(fourcc("meta"));
    w.openFull(fourcc("hdlr"), 0, 0);
    w.u32(0);
    w.type(kMdta);
    w.zeros(12);
    w.u8(0);
    w.close();

    w.openFull(fourcc("keys"), 0, 0);
    w.u32(static_cast<uint32_t>(items.size()));
    for (const MetadataItem& item : items) writeKey(w, keyOf(item));
    w.close();

    w.open(fourcc("ilst"));
    for (uint32_t index = 0; index < items.size(); ++index) writeItem(w, index + 1, items[index].value);
    w.close();
    w.close();
    if (!w.ok()) return tooLarge(box_texts::metadataTooLarge());
    return out;
}

namespace {

// A QuickTime meta of handler mdta: its layout, its children, and among them its one keys and ilst.
struct MdtaTables {
    MetaLayout layout;
    std::vector<Box> children;
    Box keys;
    Box ilst;
};

// Nothing for a meta laid out otherwise.
ErrorOr<std::optional<MdtaTables>> mdtaTables(ByteSpan moov, const Box& meta)
{
    using Tables = std::optional<MdtaTables>;
    const auto layout = metaLayout(moov, meta);
    if (!layout) return Tables();
    auto children = KV_TRY(boxesBetween(moov, meta.offset + layout->childrenAt, meta.end()));
    if (KV_TRY(handlerOf(moov, children)) != kMdta) return Tables();
    auto keys = uniqueChild(children, fourcc("keys"));
    auto ilst = uniqueChild(children, fourcc("ilst"));
    if (keys.isError() || ilst.isError() || !*keys || !*ilst) return Tables();
    const Box keysBox = **keys, ilstBox = **ilst;
    return Tables(MdtaTables{*layout, std::move(children), keysBox, ilstBox});
}

}  // namespace

ErrorOr<std::optional<std::string>> quickTimeItemValue(ByteSpan moov, const Box& meta, std::string_view key)
{
    using Value = std::optional<std::string>;
    const auto tables = KV_TRY(mdtaTables(moov, meta));
    if (!tables) return Value();
    const auto entries = KV_TRY(boxesBetween(moov, tables->keys.payloadOffset() + 8, tables->keys.end()));
    uint32_t index = 0;
    for (size_t e = 0; e < entries.size() && !index; ++e) {
        const ByteSpan name = payloadOf(moov, entries[e]);
        if (entries[e].type == kMdta &&
            std::ranges::equal(name, key, [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }))
            index = static_cast<uint32_t>(e + 1);
    }
    if (!index) return Value();
    for (const Box& item : KV_TRY(childBoxes(moov, tables->ilst))) {
        if (item.type != index) continue;
        for (const Box& data : KV_TRY(childBoxes(moov, item))) {
            const ByteSpan payload = payloadOf(moov, data);
            // The well-known type (1: UTF-8) and the locale, then the text.
            if (data.type != fourcc("data") || payload.size() < 8 || loadU32(payload.data()) != 1) continue;
            return Value(std::string(payload.begin() + 8, payload.end()));
        }
    }
    return Value();
}

ErrorOr<std::optional<std::string>> movieItemValue(const Movie& movie, std::string_view key)
{
    for (const Box& meta : KV_TRY(movieMetas(movie.moov, movie.box)))
        if (auto value = KV_TRY(quickTimeItemValue(movie.moov, meta, key))) return value;
    return std::optional<std::string>();
}

ErrorOr<std::vector<Box>> movieMetas(ByteSpan moov, const Box& box)
{
    const auto children = KV_TRY(childBoxes(moov, box));
    std::vector<Box> metas;
    for (const Box& child : children)
        if (child.type == fourcc("meta")) metas.push_back(child);
    for (const Box& udta : children) {
        if (udta.type != fourcc("udta")) continue;
        auto items = childBoxes(moov, udta);
        if (items.isError()) continue;
        for (const Box& item : *items)
            if (item.type == fourcc("meta")) metas.push_back(item);
    }
    return metas;
}

ErrorOr<std::optional<uint32_t>> metaHandler(ByteSpan buffer, const Box& meta)
{
    const auto layout = metaLayout(buffer, meta);
    if (!layout) return std::optional<uint32_t>();
    return handlerOf(buffer, KV_TRY(boxesBetween(buffer, meta.offset + layout->childrenAt, meta.end())));
}

ErrorOr<bool> holdsQuickTimeItems(ByteSpan moov, const Box& meta, const std::vector<MetadataItem>& items)
{
    for (const MetadataItem& item : items)
        if (KV_TRY(quickTimeItemValue(moov, meta, keyOf(item))) != item.value) return false;
    return true;
}

ErrorOr<std::optional<Bytes>> mergeQuickTimeMeta(ByteSpan moov, const Box& meta, const std::vector<MetadataItem>& items)
{
    using Merged = std::optional<Bytes>;
    KV_TRY(checkItems(items));
    const auto tables = KV_TRY(mdtaTables(moov, meta));
    if (!tables) return Merged();
    const MetaLayout& layout = tables->layout;
    const std::vector<Box>& children = tables->children;
    const Box& keys = tables->keys;
    const Box& ilst = tables->ilst;

    // The keys as they are: version and flags, a count, then one box per key. A count that does not
    // match the entries is not a table this program follows.
    const ByteSpan keysBody = KV_TRY(readFullBox(moov, keys, 0)).body;
    if (keysBody.size() < 4) return Merged();
    const uint32_t count = loadU32(keysBody.data());
    const uint64_t entriesAt = keys.payloadOffset() + 8;
    const auto entries = KV_TRY(boxesBetween(moov, entriesAt, keys.end()));
    if (entries.size() != count) return Merged();
    std::vector<uint32_t> indexOf(items.size(), 0);  // 1-based, as ilst items are typed
    for (size_t k = 0; k < items.size(); ++k) {
        for (size_t e = 0; e < entries.size() && !indexOf[k]; ++e) {
            const ByteSpan key = payloadOf(moov, entries[e]);
            if (entries[e].type == kMdta && std::ranges::equal(key, keyOf(items[k]), [](uint8_t a, char b) {
                    return a == static_cast<uint8_t>(b);
                }))
                indexOf[k] = static_cast<uint32_t>(e + 1);
        }
    }
    uint32_t added = 0;
    for (uint32_t& index : indexOf)
        if (!index) index = count + ++added;

    Bytes out;
    ByteWriter w(out);
    w.open(fourcc("meta"));
    if (layout.full) w.bytes(moov.subspan(meta.payloadOffset(), 4));  // version and flags as they were
    for (const Box& child : children) {
        if (child.offset == keys.offset) {
            w.open(fourcc("keys"));
            w.bytes(moov.subspan(keys.payloadOffset(), 4));  // version and flags
            w.u32(count + added);
            w.bytes(moov.subspan(entriesAt, keys.end() - entriesAt));
            for (size_t k = 0; k < items.size(); ++k)
                if (indexOf[k] > count) writeKey(w, keyOf(items[k]));
            w.close();
        } else if (child.offset == ilst.offset) {
            std::vector<bool> written(items.size(), false);
            w.open(fourcc("ilst"));
            for (const Box& item : KV_TRY(childBoxes(moov, child))) {
                const auto ours = std::ranges::find(indexOf, item.type);
                if (ours == indexOf.end()) {
                    w.bytes(bytesOf(moov, item));
                    continue;
                }
                const size_t k = static_cast<size_t>(ours - indexOf.begin());
                if (!written[k]) writeItem(w, item.type, items[k].value);
                written[k] = true;
            }
            for (size_t k = 0; k < items.size(); ++k)
                if (!written[k]) writeItem(w, indexOf[k], items[k].value);
            w.close();
        } else {
            w.bytes(bytesOf(moov, child));
        }
    }
    w.close();
    if (!w.ok()) return tooLarge(box_texts::metadataTooLarge());
    return Merged(std::move(out));
}

}  // namespace kelvatta
