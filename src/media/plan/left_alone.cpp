#include "media/plan/left_alone.h"

#include "media/plan/plan_texts.h"
#include "platform/log.h"

namespace kelvatta {

void reportLeftAlone(const std::filesystem::path& clip, bool rtmdKept, const std::vector<UnreadTimecode>& timecodes,
                     ExportControl& control)
{
    if (rtmdKept) {
        printLine(plan_texts::rtmdKeptLine(clip));
        control.setRtmdKept();
    }
    for (const UnreadTimecode& timecode : timecodes) printLine(plan_texts::unreadTimecodeLine(clip, timecode));
}

}  // namespace kelvatta
