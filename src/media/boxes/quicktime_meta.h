// The movie-level metadata box in QuickTime style (moov/meta with keys and ilst), which carries the
// export's metadata items such as "timecode" = "00:00:00:00". QuickTime File Format, "Metadata":
// the handler (hdlr mdta), the keys atom and the item list atom; ISO/IEC 14496-12, 8.11.1 (meta).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/boxes/box_reader.h"
#include "media/base/bytes.h"
#include "media/base/metadata_item.h"
#include "media/boxes/moov_model.h"
#include "platform/error.h"

namespace kelvatta {

// meta { hdlr mdta, keys, ilst } for items in the QuickTime metadata key space holding strings.
// Unlike an ISO meta, this one has no version and flags: readers such as exiftool and MediaInfo skip
// a moov/meta that has them. An empty list gives no box. An item of another key space or data type
// is refused (it could not be written as the caller meant).
ErrorOr<Bytes> buildQuickTimeMeta(const std::vector<MetadataItem>& items);

// Where the children of a meta box start: QuickTime writes it without the version and flags an ISO
// meta has, and either is found, telling by where its hdlr lies.
struct MetaLayout {
    bool full = false;        // an ISO meta: version and flags before the children
    uint64_t childrenAt = 0;  // within the box's bytes
};
std::optional<MetaLayout> metaLayout(ByteSpan buffer, const Box& meta);

// The text of the item key holds in a movie's QuickTime meta (box within moov, handler mdta); nothing
// where it holds no such item, or is not such a meta.
ErrorOr<std::optional<std::string>> quickTimeItemValue(ByteSpan moov, const Box& meta, std::string_view key);

// The text of the item key holds in the movie's QuickTime meta, in moov or in its user data (where
// libavformat writes it); nothing without one.
ErrorOr<std::optional<std::string>> movieItemValue(const Movie& movie, std::string_view key);

// The meta boxes of a movie (box within moov): its own, then those of its user data (where
// libavformat's muxer writes them, and iTunes-style items live). A user data this reader cannot
// follow gives none.
ErrorOr<std::vector<Box>> movieMetas(ByteSpan moov, const Box& box);

// A meta's handler type: mdta for QuickTime metadata keys, mdir for iTunes-style items (ilst);
// nothing for a meta without a single hdlr or laid out otherwise.
ErrorOr<std::optional<uint32_t>> metaHandler(ByteSpan buffer, const Box& meta);

// Whether that meta holds every item (of the QuickTime key space) with its value already.
ErrorOr<bool> holdsQuickTimeItems(ByteSpan moov, const Box& meta, const std::vector<MetadataItem>& items);

// A movie's QuickTime meta (box within moov, handler mdta, with keys and ilst) with items set in it:
// a key already there (in the mdta namespace) gets the item's value, else a key and an item are
// appended; every other key, item and child byte for byte, the layout as it was. Nothing for a meta
// that is not such a one (another handler, or keys and items this reader does not follow), which is
// kept as it is beside the one the program writes.
ErrorOr<std::optional<Bytes>> mergeQuickTimeMeta(ByteSpan moov, const Box& meta,
                                                 const std::vector<MetadataItem>& items);

}  // namespace kelvatta
