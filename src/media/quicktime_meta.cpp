#include "media/quicktime_meta.h"

#include "media/box_reader.h"
#include "media/media_error.h"

namespace kelvatta {

MetadataItem quickTimeStringItem(std::string_view key, std::string value)
{
    return MetadataItem{MetadataItem::identifierForKey(key, kMetadataKeySpaceQuickTimeMetadata), std::move(value),
                        std::string(kMetadataDataTypeString)};
}

ErrorOr<Bytes> buildQuickTimeMeta(const std::vector<MetadataItem>& items)
{
    Bytes out;
    if (items.empty()) return out;
    const std::string prefix = std::string(kMetadataKeySpaceQuickTimeMetadata) + "/";
    for (const MetadataItem& item : items) {
        if (item.identifier.rfind(prefix, 0) != 0 || item.identifier.size() == prefix.size())
            return unsupported("不支持的元数据项：" + item.identifier);
        if (item.dataType != kMetadataDataTypeString) return unsupported("不支持的元数据类型：" + item.dataType);
    }

    ByteWriter w(out);
    w.open(fourcc("meta"));
    w.openFull(fourcc("hdlr"), 0, 0);
    w.u32(0);
    w.type(fourcc("mdta"));
    w.zeros(12);
    w.u8(0);
    w.close();

    w.openFull(fourcc("keys"), 0, 0);
    w.u32(static_cast<uint32_t>(items.size()));
    for (const MetadataItem& item : items) {
        w.open(fourcc("mdta"));  // the key's namespace, then the key without terminator
        w.text(std::string_view(item.identifier).substr(prefix.size()));
        w.close();
    }
    w.close();

    w.open(fourcc("ilst"));
    uint32_t index = 0;
    for (const MetadataItem& item : items) {
        w.open(++index);  // an item's type is the 1-based index of its key
        w.open(fourcc("data"));
        w.u32(1);  // well-known type 1: UTF-8
        w.u32(0);  // default locale
        w.text(item.value);
        w.close();
        w.close();
    }
    w.close();
    w.close();
    if (!w.ok()) return tooLarge("元数据过大");
    return out;
}

}  // namespace kelvatta
