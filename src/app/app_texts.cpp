#include "app/app_texts.h"

#include "media/inplace/in_place_texts.h"

namespace kelvatta::app_texts {
namespace {

// "a、b、c".
std::string listed(const std::vector<std::filesystem::path>& files)
{
    std::string text;
    for (size_t i = 0; i < files.size(); ++i) text += (i ? "、" : "") + files[i].string();
    return text;
}

std::string jumpAt(const TimecodeJump& jump) { return "第 " + std::to_string(jump.frame) + " 帧处不连续"; }

}  // namespace

const char* usageText()
{
    return "用法：kelvatta [--save-as | --in-place] [--timecode HH:MM:SS:FF] [--keep-going] 路径...\n"
           "      kelvatta --restore 路径...\n"
           "      kelvatta --show 路径...\n"
           "      kelvatta [--window [路径...]]\n"
           "把视频文件的起始时间码改为 00:00:00:00（或 --timecode 给出的值），不重新编码。\n"
           "默认在原处替换每个文件；最多同时处理 3 个文件，第一个失败会取消尚未开始的文件。\n"
           "文件夹会逐层搜索，其中名为“已修改时间码”的文件夹和本程序留下的 temp_ 文件不处理。\n"
           "各处时间码都已从该值开始（且带有 timecode 元数据项）的文件不再改写，算作已处理；\n"
           "另存为时，“已修改时间码”中已是该文件结果的副本予以保留。\n"
           "\n"
           "  --save-as     把结果写入各文件旁的“已修改时间码”文件夹，原文件不变\n"
           "  --in-place    就地修改原文件：只追加新的 moov 并改写时间码字节，不复制媒体数据，\n"
           "                并在文件内保留撤销记录；文件结构不允许时改用临时文件替换\n"
           "  --timecode HH:MM:SS:FF\n"
           "                起始时间码（丢帧计数也可写作 HH:MM:SS;FF），各种模式均可用；\n"
           "                帧号超出文件的帧率或是丢帧计数跳过的编号时，该文件失败且不作改动\n"
           "  --keep-going  有文件失败时继续处理其余文件，不取消任何文件\n"
           "  --restore     把就地修改过的文件逐字节恢复为原样\n"
           "  --show        只读取并列出每个文件各处的时间码、帧率和丢帧方式，以及各处是否一致\n"
           "  --window      打开窗口并带上给出的路径，点击“开始处理”后才处理（“打开方式”用它）\n"
           "  --help        显示本说明\n"
           "  --version     显示版本\n"
           "\n"
           "处理时标准输出只有日志。退出状态：0 全部成功；1 有文件失败（--show：有文件无法读取）\n"
           "或未找到视频文件；2 用法错误或路径无法访问；被中断时为 128 + 信号编号（Ctrl-C 130，\n"
           "SIGTERM 143，SIGHUP 129），正在处理的文件取消，原文件不变。未全部完成时，标准错误的\n"
           "最后一行列出失败的文件和尚未开始的文件（前 3 个），即需要重新处理的文件。";
}

std::string programLine(const std::string& what) { return "kelvatta：" + what; }

std::string misuse(Misuse what)
{
    switch (what) {
    case Misuse::timecodeMissing: return "--timecode 后面缺少时间码（如 01:00:00:00）";
    case Misuse::showWithRestore: return "--show 与 --restore 不能同用";
    case Misuse::windowWithOptions: return "--window 只能与路径同用";
    case Misuse::noPaths: return "缺少要处理的路径";
    case Misuse::inPlaceWithSaveAs: return "--in-place 只用于替换原文件，不能与 --save-as 同用";
    case Misuse::restoreWithOptions: return "--restore 不能与 --save-as、--in-place 或 --timecode 同用";
    case Misuse::showWithOptions: return "--show 只读取文件，不能与 --save-as、--in-place 或 --timecode 同用";
    }
    return {};
}

std::string unknownOption(const std::string& option) { return "未知选项：" + option; }

std::string badTimecode(const std::string& value, TimecodeFault fault)
{
    const std::string why = [&] {
        switch (fault) {
        case TimecodeFault::form: return "的写法不对：应写作 HH:MM:SS:FF，丢帧计数可写作 HH:MM:SS;FF（如 01:00:00:00）";
        case TimecodeFault::hours: return "超出范围：小时应为 00 至 23";
        case TimecodeFault::minutes: return "超出范围：分钟应为 00 至 59";
        case TimecodeFault::seconds: return "超出范围：秒应为 00 至 59";
        }
        return "";
    }();
    return "时间码“" + value + "”" + why;
}

std::string cannotReach(const std::string& path, const std::string& reason)
{
    return "无法访问“" + path + "”：" + reason;
}

std::string noWindowBuilt() { return programLine("本程序构建时不含窗口"); }

std::string cancelling() { return "正在取消…"; }
std::string interruptedBeforeStart() { return "已中断：尚未开始处理文件"; }

std::string allDone(int64_t total) { return "已全部完成：已处理完成 " + std::to_string(total) + " 个文件"; }

std::string notAllDone(bool interrupted, int64_t rewritten, const std::vector<std::filesystem::path>& failed,
                       int64_t cancelled)
{
    std::string line = interrupted ? "已中断：" : "未全部完成：";
    line += "已处理完成 " + std::to_string(rewritten) + " 个文件";
    if (!failed.empty()) line += "；失败 " + std::to_string(failed.size()) + " 个：" + listed(failed);
    if (cancelled > 0) line += "；已取消 " + std::to_string(cancelled) + " 个（原文件未改动）";
    return line;
}

std::string notStarted(const std::vector<std::filesystem::path>& left, size_t named)
{
    std::string part = "；未开始 " + std::to_string(left.size()) + " 个";
    for (size_t i = 0; i < left.size() && i < named; ++i) part += (i ? "、" : "：") + left[i].string();
    if (left.size() > named) part += " 及另外 " + std::to_string(left.size() - named) + " 个";
    return part;
}

std::string rtmdKept(const std::vector<std::filesystem::path>& files)
{
    if (files.empty()) return {};
    return "；其中 " + std::to_string(files.size()) + " 个文件的“rtmd”时间码保留了相机写入的值：" + listed(files);
}

std::string restoreFailed(const std::string& reason) { return "恢复失败：" + reason; }
std::string noRecord(const std::filesystem::path& clip)
{
    return "文件“" + clip.filename().string() + "”没有原地修改的记录，无法恢复";
}
std::string restored(const std::filesystem::path& clip) { return "已恢复原文件：" + clip.string(); }
std::string sidecarRestored(const std::filesystem::path& sidecar) { return "已恢复附属 XML 文件：" + sidecar.string(); }
std::string restoreInterrupted(int restored) { return "已中断：已恢复 " + std::to_string(restored) + " 个文件"; }
std::string noneRestored() { return programLine("没有找到原地修改过的视频文件"); }

std::string fileLine(const std::filesystem::path& clip) { return "文件：" + clip.string(); }
std::string readerLine(const std::string& reader) { return "  由 libavformat 读取（" + reader + "）"; }

std::optional<std::string> inPlaceLine(InPlaceState state)
{
    std::string text;
    switch (state) {
    case InPlaceState::none: return std::nullopt;
    case InPlaceState::complete: text = "已完成（kelvatta --restore 可恢复相机原片）"; break;
    case InPlaceState::notCommitted:
    case InPlaceState::cutShort: text = "此前中断，尚未完成：" + in_place_texts::whatFinishes(false); break;
    case InPlaceState::restoring: text = "恢复此前中断，尚未完成：" + in_place_texts::whatFinishes(true); break;
    case InPlaceState::recordDamaged: text = "记录已损坏，无法再据此恢复原片"; break;
    case InPlaceState::changedSince: text = "之后文件又被其他程序改动过，记录已与文件不符，无法再据此恢复原片"; break;
    }
    if (text.empty()) return std::nullopt;
    return "  原地修改：" + text;
}

std::string rateLine(const std::string& rate, const std::string& counting)
{
    std::string text = rate.empty() ? "未知" : rate;
    if (!counting.empty()) text += "（时间码" + counting + "）";
    return "  帧率：" + text;
}

std::string placeLine(const TimecodePlace& place)
{
    std::string line = "  " + place.name + "：" + place.first.value_or("无");
    std::vector<std::string> notes;
    if (place.last) {
        line += " 至 " + *place.last;
        notes.push_back("共 " + std::to_string(place.values) + " 帧");
    }
    if (place.jump) notes.push_back(jumpAt(*place.jump) + "：" + place.jump->values());
    for (size_t i = 0; i < notes.size(); ++i) line += (i == 0 ? "（" : "；") + notes[i];
    return notes.empty() ? line : line + "）";
}

std::string jumpPart(const TimecodePlace& place, bool first)
{
    if (!place.jump) return {};
    return (first ? "：" : "；") + place.name + "的时间码在" + jumpAt(*place.jump);
}

std::string notUnderstoodLine(const std::string& name) { return "  无法识别：" + name; }

std::string consistencyLine(std::optional<bool> agree, const std::string& jumps,
                            const std::vector<std::string>& uncompared)
{
    if (agree && *agree) return "  一致性：各处一致";
    if (agree) return "  一致性：各处不一致" + jumps;
    if (uncompared.empty()) return "  一致性：可比较的时间码不足两处";
    std::string names;
    for (const std::string& name : uncompared) names += (names.empty() ? "" : "、") + name;
    return "  一致性：无法确定（未能比较：" + names + "）";
}

std::string unreadableLine(const std::string& reason) { return "  无法读取：" + reason; }

std::string cannotOpenWindow(const std::string& reason) { return programLine("无法打开窗口：" + reason); }
std::string withoutWindow()
{
    return std::string("\n不用窗口时，请在命令行给出要处理的文件或文件夹：\n") + usageText();
}
std::string noDisplayServer(const std::string& named)
{
    return "无法连接到图形显示" + (named.empty() ? std::string() : "（" + named + "）");
}
std::string noDisplaySet() { return "没有图形显示（DISPLAY 与 WAYLAND_DISPLAY 都未设置）"; }
std::string platformsWithoutDisplay(const std::string& platforms)
{
    return "QT_QPA_PLATFORM=" + platforms + " 需要的图形显示不存在（DISPLAY 或 WAYLAND_DISPLAY 未设置）";
}
std::string noOwnPath() { return "找不到程序自身的位置（/proc/self/exe）"; }
std::string noEntry(const std::filesystem::path& module, const char* entry)
{
    return module.string() + " 中没有 " + entry;
}

}  // namespace kelvatta::app_texts
