// What an export is given to write: the file type and the metadata items, in the terms the program's
// callers use (QuickTime's metadata key space, Apple's type identifiers).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvatta {

inline constexpr std::string_view kFileTypeMPEG4 = "public.mpeg-4";
inline constexpr std::string_view kMetadataKeySpaceQuickTimeMetadata = "mdta";
inline constexpr std::string_view kMetadataDataTypeString = "com.apple.metadata.datatype.string";

struct MetadataItem {
    std::string identifier;  // key space + "/" + key, e.g. "mdta/timecode"
    std::string value;
    std::string dataType;

    static std::string identifierForKey(std::string_view key, std::string_view keySpace)
    {
        return std::string(keySpace) + "/" + std::string(key);
    }
};

// The value of the QuickTime "timecode" item among items, as written ("01:00:00;00"): where the clip's
// timecodes are to start. Nothing without one.
inline std::optional<std::string> timecodeItemValue(const std::vector<MetadataItem>& items)
{
    const std::string id = MetadataItem::identifierForKey("timecode", kMetadataKeySpaceQuickTimeMetadata);
    for (const MetadataItem& item : items)
        if (item.identifier == id) return item.value;
    return std::nullopt;
}

}  // namespace kelvatta
