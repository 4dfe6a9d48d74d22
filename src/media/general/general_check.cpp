#include "media/general/general_check.h"

#include "media/base/media_error.h"
#include "media/counting/timecode.h"
#include "media/general/general_start.h"
#include "media/general/general_streams.h"
#include "media/general/general_tags.h"
#include "media/general/libav_io.h"
#include "media/general/general_texts.h"
#include "platform/checked.h"

namespace kelvatta {

ErrorOr<void> verifyOutput(const ExportJob& job, const std::filesystem::path& path, int fd,
                           const AVFormatContext* input, const std::vector<int>& streams, const Remuxed& written)
{
    const uint64_t size = written.outputSize;
    const std::vector<int64_t>& packetsWritten = written.packetsWritten;
    const Error failed = exportError(ExportErrorCode::verifyFailed, general_texts::notAsWritten(path));
    auto io = FdIo::make(FdIo::Mode::read, fd, size);
    if (!io) return outOfMemory();
    InputContext output = openInput(*io, av_find_input_format("mov"), nullptr);
    // One failed read voids the check, even where the demuxer went on past it.
    if (int err = io->failedErrno()) return fileError(FileAction::read, path, err);
    if (!output) return failed;
    if (output->nb_streams < streams.size()) return failed;
    for (size_t k = 0; k < streams.size(); ++k) {
        AVStream* stream = output->streams[k];
        if (stream->codecpar->codec_id != outputCodec(input->streams[streams[k]]->codecpar)) return failed;
        const int entries = avformat_index_get_entries_count(stream);
        if (packetsWritten[k] > 0 && entries <= 0) return failed;
        for (int e = 0; e < entries; ++e) {
            const AVIndexEntry* entry = avformat_index_get_entry(stream, e);
            if (!entry || entry->pos < 0) return failed;
            auto end = checkedAdd<uint64_t>(static_cast<uint64_t>(entry->pos), static_cast<uint64_t>(entry->size));
            if (!end || *end > size) return failed;
        }
    }
    // The demuxer gives a timecode track the rate of its sample description; each reads the start
    // of the "timecode" item, as the demuxer counts it from the sample.
    const std::optional<StartTimecode> start = requestedStart(job.metadata);
    std::vector<AVRational> timecodes;
    for (unsigned k = 0; k < output->nb_streams; ++k) {
        const AVStream* stream = output->streams[k];
        if (stream->codecpar->codec_tag != MKTAG('t', 'm', 'c', 'd')) continue;
        timecodes.push_back(stream->avg_frame_rate);
        const AVDictionaryEntry* read = av_dict_get(stream->metadata, "timecode", nullptr, 0);
        if (start && (!read || Timecode::parse(read->value) != start->time)) return failed;
    }
    const std::vector<TimecodeRate>& rates = written.timecodeRates;
    if (timecodes.size() != rates.size()) return failed;
    for (size_t k = 0; k < rates.size(); ++k)
        if (int64_t{timecodes[k].num} != rates[k].timescale || int64_t{timecodes[k].den} != rates[k].frameDuration)
            return failed;
    for (const MetadataItem& item : generalItems(job.metadata)) {
        const std::string key = item.identifier.substr(kMdtaPrefix.size());
        const AVDictionaryEntry* found = av_dict_get(output->metadata, key.c_str(), nullptr, AV_DICT_MATCH_CASE);
        if (!found || item.value != found->value) return failed;
    }
    return {};
}

}  // namespace kelvatta
