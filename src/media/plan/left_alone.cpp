#include "media/plan/left_alone.h"

#include "platform/log.h"

namespace kelvatta {

void reportLeftAlone(const std::filesystem::path& clip, bool rtmdKept, const std::vector<std::string>& timecodes,
                     ExportControl& control)
{
    if (rtmdKept) {
        printLine("未改写“rtmd”时间码：" + clip.string() + "（其每帧样本的格式本程序无法识别，保留相机写入的时间码）");
        control.setRtmdKept();
    }
    for (const std::string& timecode : timecodes)
        printLine("未改写开始时间码：" + clip.string() + "（" + timecode + "，本程序无法识别其写法，保持原样）");
}

}  // namespace kelvatta
