#include "media/general/general_remux.h"

extern "C" {
#include <libavutil/avstring.h>
}

#include <algorithm>

#include "media/base/media_error.h"
#include "media/boxes/box_reader.h"
#include "media/boxes/quicktime_meta.h"
#include "media/files/fd_source.h"
#include "media/files/output_file.h"
#include "media/general/general_check.h"
#include "media/general/general_earlier.h"
#include "media/general/general_muxer.h"
#include "media/general/general_source.h"
#include "media/general/general_streams.h"
#include "media/general/general_writer.h"
#include "media/general/general_texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

// Where the output goes: for a source in a container other than MPEG-4 or QuickTime (Matroska,
// AVI, MPEG-TS ...), where the job gives one, the name of an MP4 file; else the job's output.
const fs::path& outputPath(const ExportJob& job, const AVFormatContext* input)
{
    const bool isoMedia = av_match_name("mov", input->iformat->name) || av_match_name("mp4", input->iformat->name);
    return isoMedia || job.mp4Output.empty() ? job.output : job.mp4Output;
}

// What a box file this path takes (a fragmented MP4) says of itself where libavformat does not:
// whether it ends in a trailer (see scanTopLevel), which the muxer's output could neither keep nor
// keep last, and where its movie keeps its tags: as iTunes-style items (a meta of handler mdir),
// which stay items, else (QuickTime metadata keys, none, or a file of another kind) as keys.
ErrorOr<TagPlace> readSourceBoxes(const LockedClip& clip, const fs::path& source)
{
    FdSource file(clip.fd(), static_cast<uint64_t>(clip.status().st_size), source);
    uint8_t first[8];
    if (KV_TRY(file.readAt(first, sizeof first, 0)) < sizeof first || !looksLikeBoxFile(first)) return TagPlace::keys;
    const auto top = scanTopLevel(file);
    if (top.isError()) return TagPlace::keys;  // the demuxer says what it makes of it
    if (const auto trailer = trailerOf(*top))
        return unsupported(general_texts::trailerOfFragmented(source, trailer->size));
    const auto moov = std::find_if(top->begin(), top->end(), [](const Box& box) { return box.type == fourcc("moov"); });
    if (moov == top->end() || moov->size > kMaxMoovSize) return TagPlace::keys;
    // Damage in its metadata costs nothing here: the tags are as the demuxer reads them.
    auto bytes = readBox(file, *moov);
    if (bytes.isError()) return TagPlace::keys;
    Box local = *moov;
    local.offset = 0;
    const auto metas = movieMetas(*bytes, local);
    for (const Box& meta : metas.isError() ? std::vector<Box>() : *metas) {
        const auto handler = metaHandler(*bytes, meta);
        if (!handler.isError() && *handler == fourcc("mdir")) return TagPlace::items;
    }
    return TagPlace::keys;
}

}  // namespace

ErrorOr<void> remuxGeneral(const ExportJob& job, ExportControl& control, LockedClip& clip)
{
    silenceLibav();
    if (control.isCancelled()) return cancelledError();
    const TagPlace tags = KV_TRY(readSourceBoxes(clip, job.source));

    DemuxerErrors errors;
    Source source = KV_TRY(openSource(job, control, clip, errors));
    std::vector<int> streams = KV_TRY(carriedStreams(source.context.get(), job));
    const AVOutputFormat* format = KV_TRY(chooseMuxer(source.context.get(), streams, job.source));
    if (control.isCancelled()) return cancelledError();

    const fs::path& path = outputPath(job, source.context.get());
    control.setOutput(path);
    // A copy an earlier save-as made of this clip is kept; whatever else has its name is refused.
    if (job.keepsSource && KV_TRY(keepGeneralEarlierResult(job, control, path, source, streams))) {
        control.setAlreadyDone(AlreadyDone::copy);
        return {};
    }
    OutputFile output = KV_TRY(OutputFile::create(path, job.realOutputFolder));
    const Remuxed written = KV_TRY(writeRemux(job, control, source, streams, path, format, tags, output));
    if (errors.count() > 0) return damagedError(job.source, general_texts::unparsableData());
    KV_TRY(verifyOutput(job, path, output.fd(), source.context.get(), streams, written));

    // A clip still being written (copied from a card, say) would be replaced by the part read so far.
    KV_TRY(checkSourceUnchanged(job.source, source.fd, source.status));
    if (control.isCancelled()) return cancelledError();

    clip.lockReplacement(output.fd(), output.created());
    return output.commit(source.status, source.fd, job.durable);
}

}  // namespace kelvatta
