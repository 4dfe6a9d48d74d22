#include "media/export/box_export.h"

#include <algorithm>

#include "media/files/data_copy.h"
#include "media/files/fd_source.h"
#include "media/base/media_error.h"
#include "media/plan/moov_rewrite.h"
#include "media/plan/output_check.h"
#include "media/files/output_file.h"
#include "media/files/write_behind.h"
#include "media/plan/earlier_result.h"
#include "media/plan/left_alone.h"
#include "media/sony/sidecar.h"
#include "media/export/export_texts.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

Error verifyError(const Error& reason, const std::filesystem::path& output)
{
    return exportError(ExportErrorCode::verifyFailed, export_texts::verifyFailed(output, reason.localizedDescription));
}

ErrorOr<void> writeAt(const OutputFile& out, ByteSpan bytes, uint64_t offset)
{
    return onFile(sys::writeAt(out.fd(), bytes.data(), bytes.size(), offset), FileAction::write, out.path());
}

// Writes the patches as the copy passes them, each once the data under it is in place, and has the
// disk write what lies before the next one meanwhile: a page is patched before the disk takes it,
// never written twice. Patches come in file order; one out of order is still written, its page
// written again by the flush.
class PatchesInStep {
public:
    PatchesInStep(const OutputFile& out, const std::vector<Patch>& patches, const DataCopier& copier, bool durable)
        : out_(out), next_(patches.begin()), end_(patches.end()), copier_(copier),
          behind_(out.fd(), out.path(), durable)
    {
    }

    ErrorOr<void> reached(uint64_t end)
    {
        for (; next_ != end_ && next_->offset + next_->size <= end; ++next_) KV_TRY(write(*next_));
        return behind_.reached(next_ == end_ ? end : std::min(end, next_->offset));
    }

    // The patches past the last copy.
    ErrorOr<void> rest()
    {
        for (; next_ != end_; ++next_) KV_TRY(write(*next_));
        return {};
    }

private:
    ErrorOr<void> write(const Patch& patch)
    {
        // A patch lands in blocks shared with the clip: let it unshare one block, not the file
        // system's default of many (32 on XFS, which made 5 re-based bytes per frame cost 128 KiB
        // each). A file system without the hint copies nothing anyway.
        if (!hinted_ && copier_.clonedBytes() > 0) {
            (void)sys::setCowExtentSize(out_.fd(), kBlockSize);
            hinted_ = true;
        }
        return writeAt(out_, patch.span(), patch.offset);
    }

    const OutputFile& out_;
    std::vector<Patch>::const_iterator next_, end_;
    const DataCopier& copier_;
    WriteBehind behind_;
    bool hinted_ = false;
};

}  // namespace

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
    // A copy is wanted for a clip whose sidecar does not read the start yet, for the sidecar's sake.
    if (plan.readsStart && (!job.keepsSource || KV_TRY(sidecarReadsStart(job.source, *plan.timecode)))) {
        control.setAlreadyDone(AlreadyDone::clip);
        return {};
    }
    content.movie = Movie();  // the source's moov is not needed any more: the plan holds the new one
    // A copy an earlier run made of the clip is kept; whatever else is at the output's name is refused.
    if (job.keepsSource && KV_TRY(keepBoxEarlierResult(job, clip, plan))) {
        control.setAlreadyDone(AlreadyDone::copy);
        return {};
    }
    if (control.isCancelled()) return cancelledError();
    reportLeftAlone(job.source, plan.rtmdKept, plan.timecodesLeftAlone, control);

    auto out = KV_TRY(OutputFile::create(job.output, job.realOutputFolder));
    for (const OutputWrite& write : plan.writes) KV_TRY(writeAt(out, write.bytes, write.offset));
    DataCopier copier(clip.fd(), job.source, out.fd(), out.path(), sourceSize, plan.dataBytes, plan.fileSize, control);
    PatchesInStep patches(out, plan.patches, copier, job.durable);
    copier.afterEachPiece([&patches](uint64_t reached) { return patches.reached(reached); });
    for (const DataPlacement& data : plan.data)
        KV_TRY(copier.copy(data.source.offset, data.outputOffset, data.source.size));
    KV_TRY(patches.rest());
    if (control.isCancelled()) return cancelledError();

    if (job.durable) KV_TRY(out.flush());
    const auto written = KV_TRY(onFile(sys::fstat(out.fd()), FileAction::read, out.path()));
    FdSource back(out.fd(), static_cast<uint64_t>(written.st_size), out.path());
    if (auto checked = checkOutput(back, std::move(plan)); checked.isError())
        return verifyError(checked.error(), out.path());
    KV_TRY(checkSourceUnchanged(job.source, clip.fd(), clip.status()));
    if (control.isCancelled()) return cancelledError();
    clip.lockReplacement(out.fd(), out.created());
    return out.commit(clip.status(), clip.fd(), job.durable);
}

}  // namespace kelvatta
