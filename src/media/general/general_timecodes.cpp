#include "media/general/general_timecodes.h"

#include "media/base/media_error.h"
#include "media/general/libav_io.h"
#include "media/general/libav_library.h"
#include "media/general/general_texts.h"

namespace kelvatta {
namespace {

// The "timecode" tag of dict in any letter case (Matroska writes TIMECODE).
const char* timecodeTag(const AVDictionary* dict)
{
    const AVDictionaryEntry* entry = av_dict_get(dict, "timecode", nullptr, 0);
    return entry ? entry->value : nullptr;
}

}  // namespace

ErrorOr<ReportedTimecodes> reportedTimecodes(int fd, uint64_t size, const std::filesystem::path& path)
{
    KV_TRY(loadLibav());
    auto io = FdIo::make(FdIo::Mode::read, fd, size);
    if (!io) return outOfMemory();
    InputContext input = openInput(*io, nullptr, nullptr);
    if (int err = io->failedErrno()) return fileError(FileAction::read, path, err);
    if (!input) return unrecognizedFile(path);
    // The streams' rates, where the header does not give them, are measured from their first packets.
    if (avformat_find_stream_info(input.get(), nullptr) < 0 || io->failedErrno())
        return damaged(Damage::unreadableData, general_texts::notReadWhole(path));
    ReportedTimecodes out;
    out.format = input->iformat->name;
    if (const char* tag = timecodeTag(input->metadata)) out.timecodes.push_back({general_texts::container(), tag});
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !out.rate && rate.num > 0 && rate.den > 0)
            out.rate = std::pair(rate.num, rate.den);
        if (const char* tag = timecodeTag(stream->metadata))
            out.timecodes.push_back({general_texts::reportedStream(stream->codecpar->codec_type, i), tag});
    }
    return out;
}

}  // namespace kelvatta
