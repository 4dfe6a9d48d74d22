#include "media/counting/counting_texts.h"

namespace kelvatta::counting_texts {
namespace {

// The two digits of a frame number: "29".
std::string frameNumber(uint32_t frames) { return Timecode{0, 0, 0, frames}.text().substr(9); }

}  // namespace

std::string startRefusal(const StartRefusal& refusal)
{
    using Kind = StartRefusal::Kind;
    const std::string rate =
        "每秒 " + std::to_string(refusal.framesPerSecond) + " 帧" + (refusal.halfStep ? "（每两帧计一个号）" : "");
    switch (refusal.kind) {
    case Kind::dropFrameAtRate:
        return "它的时间码按" + rate + "计数，不能按丢帧方式计数（“;”只用于 29.97 或 59.94 帧的丢帧时间码）";
    case Kind::rateUnknown: return "无法确定它的时间码按每秒几帧计数";
    case Kind::noSuchFrame:
        return "它的时间码按" + rate + "计数，帧号只有 00 至 " + frameNumber(refusal.lastFrame) + "，没有 " +
               refusal.start.text().substr(9);
    case Kind::droppedNumber:
        return "它的时间码按丢帧方式计数（" + rate + "），每分钟开头（逢十分钟除外）跳过 00 至 " +
               frameNumber(refusal.lastFrame) + " 号帧，没有 " + refusal.start.text(true) + " 这一编号";
    case Kind::notDropFrame:
        return "它的时间码按" + rate + "不丢帧计数，不能按丢帧方式计数（“;”只用于 29.97 或 59.94 帧的丢帧时间码）";
    }
    return "无法确定它的时间码按每秒几帧计数";
}

std::string startRefused(const StartTimecode& start, const StartRefusal& refusal)
{
    return "时间码不能从 " + start.text() + " 开始：" + startRefusal(refusal);
}

std::string jumpValues(const TimecodeJump& jump)
{
    return "应为 " + jump.expected.time.text(jump.dropFrame) + "，实为 " + jump.found.time.text(jump.dropFrame);
}

std::string timecodeJumped(const std::string& place, const TimecodeJump& jump)
{
    return place + "的时间码在第 " + std::to_string(jump.frame) + " 帧处不连续（" + jumpValues(jump) +
           "）。若它是原地修改（--in-place）中途被打断后留下的，运行 kelvatta --restore 可恢复原片，"
           "运行 kelvatta --in-place 可完成修改；本次未做任何改动";
}

}  // namespace kelvatta::counting_texts
