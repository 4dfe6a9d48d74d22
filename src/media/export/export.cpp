#include "media/export/box_export.h"
#include "media/export/export.h"
#include "media/general/general_remux.h"
#include "media/inplace/in_place.h"
#include "media/base/media_error.h"
#include "media/plan/moov_rewrite.h"
#include "media/sony/sidecar.h"
#include "media/export/export_texts.h"

namespace kelvatta {

// Picks the path by the source's content, not its name: ISO base media / QuickTime files with one
// moov and no fragments take the box path; everything else goes to libavformat.
ClipUse clipUseOf(const ExportJob& job)
{
    if (job.inPlace) return ClipUse::rewrite;
    return job.keepsSource ? ClipUse::read : ClipUse::replace;
}

ErrorOr<LockedClip> lockForExport(const ExportJob& job, const std::function<bool()>& cancelled)
{
    auto clip = KV_TRY(LockedClip::open(job.source, clipUseOf(job), cancelled));
    // A copy is made from a clip held for reading, unless what an earlier rewrite in place left is to
    // be finished first: then it is held for writing where this user may (the lock let go and taken
    // again, the clip read again under it), and otherwise the run says what to run instead.
    if (clip.use() != ClipUse::read || !KV_TRY(leftToFinish(clip))) return clip;
    {
        const LockedClip released = std::move(clip);
    }
    auto writable = LockedClip::open(job.source, ClipUse::rewrite, cancelled);
    if (!writable.isError() || writable.error().domain != kPosixErrorDomain) return writable;
    const int err = errnoOf(writable.error());
    if (err != EACCES && err != EPERM && err != EROFS) return writable;
    return LockedClip::open(job.source, ClipUse::read, cancelled);
}

ErrorOr<void> runExport(const ExportJob& job, ExportControl& control, LockedClip& clip)
{
    if (control.isCancelled()) return cancelledError();
    // The one check of the file type, for both paths.
    if (job.fileType != kFileTypeMPEG4) return unsupported(export_texts::unsupportedFileType(job.fileType));
    // The sidecar is written once the clip is in place: whether it can start there is known first.
    if (const auto start = requestedStart(job.metadata)) {
        if (auto sidecar = checkSidecarStart(job.source, start->time); sidecar.isError())
            return inSourceFile(sidecar.releaseError(), job.source);
    }
    if (job.inPlace) return rewriteInPlace(clip, job.metadata, control);
    // What an earlier rewrite in place left is finished (or refused) before the clip is read.
    control.setEarlierInPlace(KV_TRY(settleEarlierInPlace(clip)));
    if (control.isCancelled()) return cancelledError();
    auto content = KV_TRY(probeBoxSource(clip));
    if (!content) return remuxGeneral(job, control, clip);
    return exportBoxFile(job, control, clip, std::move(*content));
}

ErrorOr<void> runExport(const ExportJob& job, ExportControl& control)
{
    if (control.isCancelled()) return cancelledError();
    LockedClip clip = KV_TRY(lockForExport(job, {}));
    return runExport(job, control, clip);
}

}  // namespace kelvatta
