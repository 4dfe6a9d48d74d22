// What an export is given to write: the file type and the metadata items, in the terms the program's
// callers use (QuickTime's metadata key space, Apple's type identifiers).
#pragma once

#include <string>
#include <string_view>

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

}  // namespace kelvatta
