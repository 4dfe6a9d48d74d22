// The source of the general path: the clip opened for libavformat through its locked descriptor,
// its streams probed, and the errors its demuxer logs while it is read counted.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "media/base/export_job.h"
#include "media/files/locked_clip.h"
#include "media/general/libav_io.h"
#include "platform/error.h"

namespace kelvatta {

// Makes libavformat print nothing (the program's only log is its own lines), once per process, and
// has it count the errors of the demuxer DemuxerErrors watches.
void silenceLibav();

// Counts the errors that the source's demuxer logs on this thread, from watch() until this object
// goes. Damage that a demuxer reads into (a broken element, a file that ends inside one) is often
// only logged: the demuxer then skips the rest of the damaged part or reports the end of the file,
// and what it read would be exported as the whole clip (in replace mode, the rest would be lost).
class DemuxerErrors {
public:
    DemuxerErrors() = default;
    ~DemuxerErrors();
    DemuxerErrors(const DemuxerErrors&) = delete;
    DemuxerErrors& operator=(const DemuxerErrors&) = delete;

    void watch(const AVFormatContext* demuxer);
    int count() const;
};

// The source named damaged for reason (general_texts::damagedSource).
Error damagedError(const std::filesystem::path& source, const std::string& reason);

struct Source {
    int fd = -1;  // the locked clip's
    struct stat status {};
    std::unique_ptr<FdIo> io;  // outlives context, which reads through it
    InputContext context;
};

// Why reading the source's packets failed with ret: cancelled, a failed read, memory, or damage.
Error sourceReadError(const Source& source, const ExportJob& job, const ExportControl& control, int ret);

// Opens the source and watches its demuxer's errors (the header's own are not counted: a damaged
// index or tag costs no media data).
ErrorOr<Source> openSource(const ExportJob& job, ExportControl& control, const LockedClip& clip, DemuxerErrors& errors);

}  // namespace kelvatta
