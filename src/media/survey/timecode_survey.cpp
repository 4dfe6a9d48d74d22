#include "media/survey/timecode_survey.h"

#include <fcntl.h>

#include <cstdio>
#include <variant>

#include "media/boxes/box_probe.h"
#include "media/boxes/quicktime_meta.h"
#include "media/boxes/start_timecodes.h"
#include "media/files/fd_source.h"
#include "media/general/general_timecodes.h"
#include "media/plan/rebase.h"
#include "media/sony/camera_xml.h"
#include "media/sony/rtmd.h"
#include "media/sony/sidecar.h"
#include "media/sony/top_level.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

// "29.97" for 30000/1001: three decimals at most, without trailing zeros.
std::string rateText(double rate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", rate);
    std::string out = text;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out;
}

std::string countingText(const TimecodeCounting& counting)
{
    if (!counting.valid()) return {};
    std::string text = "每秒 " + std::to_string(counting.framesPerSecond) + " 帧";
    if (counting.halfStep) text += "，每两帧计一个号";
    return text + (counting.dropFrame ? "，丢帧" : "，不丢帧");
}

// A place the clip does not have.
TimecodePlace absentPlace(std::string name)
{
    return {std::move(name), kNoTimecodeHere, std::nullopt, 0, std::nullopt, std::nullopt};
}

// A value written as text ("01:00:00:00"), as the clip counts it where it can be read.
TimecodePlace textPlace(std::string name, std::string value)
{
    TimecodePlace place{std::move(name), value, std::nullopt, 0, std::nullopt, std::nullopt};
    std::string normal = value;
    if (normal.size() == 11 && (normal[8] == '.' || normal[8] == ',')) normal[8] = ';';
    if (const auto time = Timecode::parse(normal)) place.start = TimecodeValue{*time, false};
    return place;
}

// The value of a place that counts as place does, as clip counts it.
std::optional<TimecodeValue> asClipCounts(const TimecodeCounting& clip, const TimecodeCounting& place,
                                          const TimecodeValue& value)
{
    if (!clip.valid() || !place.valid()) return place.position(value) ? std::optional(value) : std::nullopt;
    return clip.sameFrame(place, value);
}

class BoxSurvey {
public:
    BoxSurvey(const fs::path& path, ByteSource& file, const BoxContent& content)
        : path_(path), file_(file), movie_(content.movie), topLevel_(content.topLevel)
    {
    }

    ErrorOr<TimecodeSurvey> run()
    {
        // The plan of a rewrite to 00:00:00:00, kept in memory: how the camera XML counts, and the
        // start timecodes of the top-level XMP as they are written.
        const TopLevelPlan top = KV_TRY(planTopLevel(topLevel_, movie_, file_, Timecode{}));
        clip_ = clipCounting(movie_, top);
        if (const auto rate = videoTimecodeRate(movie_))
            out_.rate = rateText(double(rate->timescale) / rate->frameDuration);
        out_.counting = countingText(clip_);
        KV_TRY(timecodeTracks());
        KV_TRY(item());
        KV_TRY(rtmd());
        KV_TRY(cameraXml());
        KV_TRY(sidecar());
        KV_TRY(userData());
        for (const TextEdit& edit : top.textEdits) out_.places.push_back(textPlace("XMP 中的时间码", edit.original));
        out_.notUnderstood.insert(out_.notUnderstood.end(), top.timecodesLeftAlone.begin(),
                                  top.timecodesLeftAlone.end());
        return std::move(out_);
    }

private:
    ErrorOr<void> timecodeTracks()
    {
        bool any = false;
        for (const Track& track : movie_.tracks) {
            if (!track.isTimecode()) continue;
            auto read = readTimecodeSamples(movie_, track, file_);
            if (KV_TRY(unreadable(read, "“tmcd”轨道")) || read->samples.empty()) continue;
            const TimecodeCounting counting = track.timecode->counting();
            if (!counting.valid()) {
                out_.notUnderstood.push_back("“tmcd”轨道（帧率无法识别）");
                continue;
            }
            const TimecodeValue value = counting.valueAt(read->samples.front().number);
            out_.places.push_back({"“tmcd”轨道", value.time.text(counting.dropFrame), std::nullopt, 0,
                                   asClipCounts(clip_, counting, value), read->jump});
            any = true;
        }
        if (!any) out_.places.push_back(absentPlace("“tmcd”轨道"));
        return {};
    }

    ErrorOr<void> item()
    {
        if (auto value = KV_TRY(movieItemValue(movie_, "timecode")))
            out_.places.push_back(textPlace("元数据项“timecode”", *value));
        else out_.places.push_back(absentPlace("元数据项“timecode”"));
        return {};
    }

    // Every sample of each rtmd track: one per frame.
    ErrorOr<void> rtmd()
    {
        for (const Track& track : movie_.tracks) {
            if (track.sampleEntryType != kRtmdSampleEntry || track.sampleCount == 0) continue;
            auto samples = readRtmdTimecodes(movie_, track, file_, clip_);
            if (KV_TRY(unreadable(samples, "“rtmd”"))) continue;
            const RtmdTimecodes& read = *samples;
            if (!read.first) {
                out_.notUnderstood.push_back("“rtmd”（其每帧样本的格式本程序无法识别）");
                continue;
            }
            const auto text = [](const RtmdTimecode& value) { return value.time.text(value.dropFrame != 0); };
            const TimecodeValue first{read.first->time, false};
            out_.places.push_back({"“rtmd”（每帧一个）", text(*read.first), text(*read.last), read.heads,
                                   read.counting ? asClipCounts(clip_, *read.counting, first) : std::nullopt,
                                   read.jump});
        }
        return {};
    }

    // Whether a place's samples could not be read (its tables at odds, a sample cut short by the end of
    // the file): then it is named as not understood. Any other error fails the look at the clip.
    template <typename T>
    ErrorOr<bool> unreadable(ErrorOr<T>& read, const std::string& place)
    {
        if (!read.isError()) return false;
        if (damageOf(read.error()) == Damage::none) return read.releaseError();
        out_.notUnderstood.push_back(place + "（样本无法读取）");
        return true;
    }

    void xmlPlace(std::string name, const std::string& text)
    {
        const auto first = cameraXmlFirst(text);
        if (!first) {
            out_.notUnderstood.push_back(name + "（其中的时间码表本程序无法识别）");
            return;
        }
        out_.places.push_back({std::move(name), first->value.time.text(first->counting.dropFrame), std::nullopt, 0,
                               asClipCounts(clip_, first->counting, first->value), std::nullopt});
    }

    ErrorOr<void> cameraXml()
    {
        if (const auto text = KV_TRY(cameraXmlTextOf(file_, topLevel_, &movie_))) xmlPlace("文件内的相机 XML", *text);
        return {};
    }

    ErrorOr<void> sidecar()
    {
        const auto sidecar = KV_TRY(findSidecar(path_));
        if (!sidecar) return {};
        const std::string name = "附属 XML 文件 " + sidecar->path.filename().string();
        auto read = KV_TRY(readSidecarText(*sidecar));
        if (const auto* text = std::get_if<std::string>(&read)) xmlPlace(name, *text);
        else out_.notUnderstood.push_back(name + "（" + std::get<SidecarOutcome>(read).why + "）");
        return {};
    }

    // ©TIM and the XMP packets of the movie's user data.
    ErrorOr<void> userData()
    {
        for (const Box& udta : KV_TRY(childBoxes(movie_.moov, movie_.box))) {
            if (udta.type != fourcc("udta")) continue;
            const TextTimecodes items = rebaseUserDataTimecode(payloadOf(movie_.moov, udta), Timecode{});
            for (const TextEdit& edit : items.edits)
                out_.places.push_back(textPlace("用户数据中的 ©TIM", edit.original));
            out_.notUnderstood.insert(out_.notUnderstood.end(), items.leftAlone.begin(), items.leftAlone.end());
            auto children = childBoxes(movie_.moov, udta);
            if (children.isError()) continue;
            for (const Box& child : *children) {
                if (child.type != fourcc("XMP_")) continue;
                const ByteSpan text = payloadOf(movie_.moov, child);
                const TextTimecodes xmp = rebaseXmpTimecodes(
                    std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), Timecode{});
                for (const TextEdit& edit : xmp.edits)
                    out_.places.push_back(textPlace("XMP 中的时间码", edit.original));
                out_.notUnderstood.insert(out_.notUnderstood.end(), xmp.leftAlone.begin(), xmp.leftAlone.end());
            }
        }
        return {};
    }

    const fs::path& path_;
    ByteSource& file_;
    const Movie& movie_;
    const std::vector<Box>& topLevel_;
    TimecodeCounting clip_;
    TimecodeSurvey out_;
};

// What libavformat reports of a file the box path does not read.
ErrorOr<TimecodeSurvey> generalSurvey(int fd, uint64_t size, const fs::path& path)
{
    const ReportedTimecodes reported = KV_TRY(reportedTimecodes(fd, size, path));
    TimecodeSurvey out;
    out.reader = reported.format;
    if (reported.rate) out.rate = rateText(double(reported.rate->first) / reported.rate->second);
    for (const ReportedTimecode& timecode : reported.timecodes)
        out.places.push_back(textPlace(timecode.where + "的时间码", timecode.value));
    if (reported.timecodes.empty()) out.places.push_back(absentPlace("时间码"));
    return out;
}

// Whether what was read of the clip open as fd is one file's: no other run holds it to write it,
// and it has the size and times it had before (any write moves its change time, a rewrite in place
// too, which puts back its modification time). Else an error that says the clip is being changed.
ErrorOr<void> checkReadWhole(int fd, const struct stat& before, const fs::path& path)
{
    const auto locked = sys::exclusivelyLocked(fd);  // a file system without such locks: not told
    if (!locked.isError() && *locked)
        return exportError(ExportErrorCode::busy,
                           "文件" + quotedName(path) + "正被另一个 Kelvatta 进程改写，请等它处理完再查看");
    const auto now = KV_TRY(onFile(sys::fstat(fd), "无法读取文件", path));
    if (!sameFile(now, before) || now.st_ctim.tv_sec != before.st_ctim.tv_sec ||
        now.st_ctim.tv_nsec != before.st_ctim.tv_nsec)
        return exportError(ExportErrorCode::sourceChanged,
                           "文件" + quotedName(path) + "在读取时被改动了（可能有程序正在写它），请稍后再查看");
    return {};
}

}  // namespace

std::optional<bool> TimecodeSurvey::agree() const
{
    std::optional<TimecodeValue> seen;
    size_t compared = 0;
    for (const TimecodePlace& place : places) {
        if (place.jump) return false;
        if (!place.start) continue;
        if (seen && *seen != *place.start) return false;
        seen = place.start;
        ++compared;
    }
    if (compared < 2) return std::nullopt;
    return true;
}

ErrorOr<TimecodeSurvey> surveyTimecodes(const fs::path& path)
{
    // Read without marking the clip read, where this user may (its owner).
    auto opened = openClip(path, O_RDONLY | O_NOATIME);
    if (opened.isError() && errnoOf(opened.error()) == EPERM) opened = openClip(path, O_RDONLY);
    const Fd fd = KV_TRY(std::move(opened));
    const auto status = KV_TRY(onFile(sys::fstat(fd.get()), "无法读取文件", path));
    if (S_ISDIR(status.st_mode)) return fileError("无法打开文件", path, EISDIR);
    if (!S_ISREG(status.st_mode)) return unrecognizedFile(path);
    KV_TRY(checkReadWhole(fd.get(), status, path));
    const uint64_t size = static_cast<uint64_t>(status.st_size);
    FdSource reader(fd.get(), size, path);
    auto survey = [&]() -> ErrorOr<TimecodeSurvey> {
        // A rewrite in place cut short may leave two moov boxes, which only its state explains.
        uint8_t first[8];
        const bool boxes = KV_TRY(reader.readAt(first, sizeof first, 0)) == sizeof first && looksLikeBoxFile(first);
        const InPlaceState inPlace = boxes ? KV_TRY(readClipState(reader, status, path)).state : InPlaceState::none;
        auto content = probeBoxContent(reader);
        if (content.isError()) return inSourceFile(content.releaseError(), path);
        auto read = *content ? BoxSurvey(path, reader, **content).run() : generalSurvey(fd.get(), size, path);
        if (read.isError()) return inSourceFile(read.releaseError(), path);
        read->inPlace = inPlace;
        return read;
    }();
    // A clip another run rewrites meanwhile reads as a damaged one, or as one with a jump: say why.
    KV_TRY(checkReadWhole(fd.get(), status, path));
    return survey;
}

}  // namespace kelvatta
