// The general path of the export: containers other than plain ISO base media / QuickTime files
// (AVI, Matroska, fragmented MP4) stream-copied through libavformat into an MPEG-4 file.
#pragma once

#include "media/export_job.h"

namespace kelvatta {

// Same contract as runExport.
ErrorOr<void> remuxGeneral(const ExportJob& job, ExportControl& control);

}  // namespace kelvatta
