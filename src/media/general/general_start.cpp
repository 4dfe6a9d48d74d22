#include "media/general/general_start.h"

#include "media/base/media_error.h"
#include "media/counting/timecode.h"

namespace kelvatta {

ErrorOr<uint32_t> generalStartFrame(uint32_t framesPerSecond, const StartTimecode& start,
                                    const std::filesystem::path& source)
{
    const TimecodeCounting counting{framesPerSecond, start.dropFrame, false};
    if (auto why = counting.refusal(start.time)) return inSourceFile(startRefused(start, *why), source);
    // Less than a day of frames at no more than 255 a second.
    return static_cast<uint32_t>(*counting.position({start.time, false}));
}

std::vector<MetadataItem> generalItems(const std::vector<MetadataItem>& items)
{
    const auto start = requestedStart(items);
    return writtenItems(items, start && start->dropFrame);
}

}  // namespace kelvatta
