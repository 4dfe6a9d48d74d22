#include "media/general/general_source.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <mutex>

#include "media/base/media_error.h"
#include "media/general/libav_library.h"
#include "media/general/general_texts.h"

namespace kelvatta {
namespace {

// The demuxer whose errors are being counted on this thread (see DemuxerErrors), and their count.
thread_local const AVFormatContext* watchedDemuxer = nullptr;
thread_local int demuxerErrors = 0;

// Prints nothing: the program's only log is its own lines. Counts the errors of a watched demuxer.
void onLibavLog(void* context, int level, const char*, va_list)
{
    if (level <= AV_LOG_ERROR && context && context == watchedDemuxer) ++demuxerErrors;
}

// What a failed open or probe of the source means for the user. Demuxers report refused nested
// files and broken headers with all kinds of codes (a playlist whose items may not be opened gives
// ENOMEM), so anything but our own read error or a cancellation means the file is not one we know.
Error sourceError(const Source& source, const ExportJob& job, const ExportControl& control)
{
    if (control.isCancelled()) return cancelledError();
    if (int err = source.io->failedErrno()) return fileError(FileAction::read, job.source, err);
    return unrecognizedFile(job.source);
}

}  // namespace

void silenceLibav()
{
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_log_set_callback(onLibavLog);
    });
}

DemuxerErrors::~DemuxerErrors() { watchedDemuxer = nullptr; }

void DemuxerErrors::watch(const AVFormatContext* demuxer)
{
    watchedDemuxer = demuxer;
    demuxerErrors = 0;
}

int DemuxerErrors::count() const { return demuxerErrors; }

Error damagedError(const std::filesystem::path& source, const std::string& reason)
{
    return damaged(Damage::unreadableData, general_texts::damagedSource(source, reason));
}

Error sourceReadError(const Source& source, const ExportJob& job, const ExportControl& control, int ret)
{
    if (control.isCancelled()) return cancelledError();
    if (int err = source.io->failedErrno()) return fileError(FileAction::read, job.source, err);
    if (ret == AVERROR(ENOMEM)) return outOfMemory();
    return damagedError(job.source, avErrorText(ret));
}

ErrorOr<Source> openSource(const ExportJob& job, ExportControl& control, const LockedClip& clip, DemuxerErrors& errors)
{
    KV_TRY(loadLibav());
    Source source;
    source.fd = clip.fd();
    source.status = clip.status();
    source.io = FdIo::make(FdIo::Mode::read, source.fd, static_cast<uint64_t>(source.status.st_size), &control);
    if (!source.io) return outOfMemory();
    source.context = openInput(*source.io, nullptr, &control);
    if (!source.context) return sourceError(source, job, control);
    errors.watch(source.context.get());
    if (avformat_find_stream_info(source.context.get(), nullptr) < 0) return sourceError(source, job, control);
    return source;
}

}  // namespace kelvatta
