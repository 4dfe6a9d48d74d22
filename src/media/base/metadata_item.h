// What an export is given to write: the file type and the metadata items, in the terms the program's
// callers use (QuickTime's metadata key space, Apple's type identifiers).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/base/start_timecode.h"

namespace kelvatta {

inline constexpr std::string_view kFileTypeMPEG4 = "public.mpeg-4";
inline constexpr std::string_view kMetadataKeySpaceQuickTimeMetadata = "mdta";
inline constexpr std::string_view kMetadataDataTypeString = "com.apple.metadata.datatype.string";

struct MetadataItem {
    std::string identifier;  // key space + "/" + key, e.g. "mdta/timecode"
    std::string value;       // the text written (see start)
    std::string dataType;
    // The "timecode" item: where every timecode of the clip starts. Its text is the clip's business,
    // written in the clip's notation once its counting is known (see writtenItems); value is unused.
    std::optional<StartTimecode> start{};

    static std::string identifierForKey(std::string_view key, std::string_view keySpace)
    {
        return std::string(keySpace) + "/" + std::string(key);
    }
    // A text item of QuickTime's metadata key space.
    static MetadataItem quickTimeString(std::string_view key, std::string value)
    {
        return {identifierForKey(key, kMetadataKeySpaceQuickTimeMetadata), std::move(value),
                std::string(kMetadataDataTypeString)};
    }
    // The "timecode" item asking start.
    static MetadataItem timecode(const StartTimecode& start)
    {
        MetadataItem item = quickTimeString("timecode", std::string());
        item.start = start;
        return item;
    }
};

// Where the "timecode" item among items asks the clip's timecodes to start; nothing without one.
inline std::optional<StartTimecode> requestedStart(const std::vector<MetadataItem>& items)
{
    for (const MetadataItem& item : items)
        if (item.start) return item.start;
    return std::nullopt;
}

// items as they are written into a clip: the "timecode" item's text in the clip's notation, ';' before
// the frames where it counts drop-frame.
inline std::vector<MetadataItem> writtenItems(std::vector<MetadataItem> items, bool dropFrame)
{
    for (MetadataItem& item : items)
        if (item.start) item.value = item.start->time.text(dropFrame);
    return items;
}

}  // namespace kelvatta
