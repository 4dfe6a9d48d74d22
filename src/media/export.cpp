#include "media/box_export.h"
#include "media/export_job.h"
#include "media/general_remux.h"
#include "media/in_place.h"
#include "media/media_error.h"

namespace kelvatta {

// Picks the path by the source's content, not its name: ISO base media / QuickTime files with one
// moov and no fragments take the box path; everything else goes to libavformat.
ErrorOr<void> runExport(const ExportJob& job, ExportControl& control)
{
    if (control.isCancelled()) return cancelledError();
    if (job.fileType != kFileTypeMPEG4) return unsupported("不支持的输出文件类型：" + job.fileType);
    if (job.inPlace) return rewriteInPlace(job.source, job.metadata, control);
    auto source = KV_TRY(probeBoxSource(job.source));
    if (!source) return remuxGeneral(job, control);
    return exportBoxFile(job, control, std::move(*source));
}

}  // namespace kelvatta
