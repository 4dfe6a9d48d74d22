#include "media/general/general_start.h"

#include "media/base/media_error.h"
#include "media/counting/timecode.h"

namespace kelvatta {

ErrorOr<uint32_t> generalStartFrame(uint32_t framesPerSecond, const std::string& value,
                                    const std::filesystem::path& source)
{
    const auto start = Timecode::parse(value);
    if (!start) return inSourceFile(unsupported("时间码“" + value + "”无效"), source);
    const TimecodeCounting counting{framesPerSecond, value.size() > 8 && value[8] == ';', false};
    if (auto why = counting.refusal(*start)) return inSourceFile(startRefused(*start, *why), source);
    // Less than a day of frames at no more than 255 a second.
    return static_cast<uint32_t>(*counting.position({*start, false}));
}

}  // namespace kelvatta
