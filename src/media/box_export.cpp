#include "media/box_export.h"

#include "media/data_copy.h"
#include "media/fd_source.h"
#include "media/media_error.h"
#include "media/moov_rewrite.h"
#include "media/output_check.h"
#include "media/output_file.h"
#include "platform/log.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

// Reads and parses the moov of a box file; nothing when the movie is fragmented.
ErrorOr<std::optional<Movie>> readMovie(ByteSource& source, const Box& moov)
{
    if (moov.size > kMaxMoovSize) {
        return tooLarge("“moov”盒子过大（" + std::to_string(moov.size >> 20) + " MiB，上限 " +
                        std::to_string(kMaxMoovSize >> 20) + " MiB）");
    }
    auto movie = parseMovie(KV_TRY(readBox(source, moov)));
    if (movie.isError()) {
        if (isExportError(movie.error(), ExportErrorCode::fragmented)) return std::optional<Movie>();
        return movie.releaseError();
    }
    return std::optional<Movie>(movie.releaseValue());
}

Error verifyError(const Error& reason, const std::filesystem::path& output)
{
    return exportError(ExportErrorCode::verifyFailed,
                       "导出结果校验失败（" + quotedName(output) + "）：" + reason.localizedDescription);
}

ErrorOr<void> writeAt(const OutputFile& out, ByteSpan bytes, uint64_t offset)
{
    return onFile(sys::writeAt(out.fd(), bytes.data(), bytes.size(), offset), "无法写入文件", out.path());
}

}  // namespace

ErrorOr<std::optional<BoxContent>> probeBoxContent(ByteSource& source)
{
    uint8_t first[8];
    if (KV_TRY(source.readAt(first, sizeof first, 0)) < sizeof first || !looksLikeBoxFile(first))
        return std::optional<BoxContent>();

    BoxContent content;
    std::optional<Box> moov;
    content.topLevel = KV_TRY(scanTopLevel(source));
    for (const Box& box : content.topLevel) {
        if (box.type == fourcc("moof")) return std::optional<BoxContent>();
        if (box.type != fourcc("moov")) continue;
        if (moov) return std::optional<BoxContent>();
        moov = box;
    }
    if (!moov) return damaged("缺少“moov”盒子（文件可能没有完整写入）");
    auto movie = KV_TRY(readMovie(source, *moov));
    if (!movie) return std::optional<BoxContent>();
    content.movie = std::move(*movie);
    return std::optional<BoxContent>(std::move(content));
}

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

ErrorOr<std::optional<BoxContent>> probeBoxSource(const LockedClip& clip)
{
    FdSource reader(clip.fd(), static_cast<uint64_t>(clip.status().st_size), clip.path());
    auto content = probeBoxContent(reader);
    if (content.isError()) return inSourceFile(content.releaseError(), clip.path());
    return content;
}

ErrorOr<void> exportBoxFile(const ExportJob& job, ExportControl& control, LockedClip& clip, BoxContent content)
{
    const uint64_t sourceSize = static_cast<uint64_t>(clip.status().st_size);
    FdSource reader(clip.fd(), sourceSize, job.source);
    auto planned = planOutput({content.movie, content.topLevel, reader}, job.metadata);
    if (planned.isError()) return inSourceFile(planned.releaseError(), job.source);
    OutputPlan plan = planned.releaseValue();
    content.movie = Movie();  // the source's moov is not needed any more: the plan holds the new one
    if (control.isCancelled()) return cancelledError();
    reportLeftAlone(job.source, plan.rtmdKept, plan.timecodesLeftAlone, control);

    auto out = KV_TRY(OutputFile::create(job.output, job.realOutputFolder));
    for (const OutputWrite& write : plan.writes) KV_TRY(writeAt(out, write.bytes, write.offset));
    DataCopier copier(clip.fd(), job.source, out.fd(), out.path(), sourceSize, plan.dataBytes, plan.fileSize, control);
    for (const DataPlacement& data : plan.data)
        KV_TRY(copier.copy(data.source.offset, data.outputOffset, data.source.size));
    // Each patch lands in blocks shared with the clip: let it unshare one block, not the file system's
    // default of many (32 on XFS, which made 5 re-based bytes per frame cost 128 KiB each). A file
    // system without the hint copies nothing anyway.
    if (copier.clonedBytes() > 0 && !plan.patches.empty()) (void)sys::setCowExtentSize(out.fd(), 4096);
    for (const Patch& patch : plan.patches) KV_TRY(writeAt(out, patch.span(), patch.offset));
    if (control.isCancelled()) return cancelledError();

    if (job.durable) KV_TRY(out.flush());
    const auto written = KV_TRY(onFile(sys::fstat(out.fd()), "无法读取文件", out.path()));
    FdSource back(out.fd(), static_cast<uint64_t>(written.st_size), out.path());
    if (auto checked = checkOutput(back, std::move(plan)); checked.isError())
        return verifyError(checked.error(), out.path());
    KV_TRY(checkSourceUnchanged(job.source, clip.fd(), clip.status()));
    if (control.isCancelled()) return cancelledError();
    clip.lockReplacement(out.fd(), out.created());
    return out.commit(clip.status(), clip.fd(), job.durable);
}

}  // namespace kelvatta
