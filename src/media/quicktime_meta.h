// The movie-level metadata box in QuickTime style (moov/meta with keys and ilst), which carries the
// export's metadata items such as "timecode" = "00:00:00:00".
#pragma once

#include <vector>

#include "media/bytes.h"
#include "media/export_session.h"
#include "platform/error.h"

namespace kelvatta {

// meta { hdlr mdta, keys, ilst } for items in the QuickTime metadata key space holding strings.
// Unlike an ISO meta, this one has no version and flags: readers such as exiftool and MediaInfo skip
// a moov/meta that has them. An empty list gives no box. An item of another key space or data type
// is refused (it could not be written as the caller meant).
ErrorOr<Bytes> buildQuickTimeMeta(const std::vector<MetadataItem>& items);

// An item of the QuickTime metadata key space holding a string, e.g. ("timecode", "00:00:00:00").
MetadataItem quickTimeStringItem(std::string_view key, std::string value);

}  // namespace kelvatta
