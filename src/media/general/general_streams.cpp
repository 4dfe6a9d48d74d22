#include "media/general/general_streams.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

#include "media/base/media_error.h"
#include "media/base/bytes.h"
#include "media/general/general_chapters.h"
#include "media/general/general_tags.h"
#include "media/general/general_texts.h"
#include "platform/log.h"

namespace kelvatta {

namespace fs = std::filesystem;

namespace {

Error unknownParametersError(const fs::path& source, const AVStream* stream)
{
    return damaged(Damage::unreadableStream,
                   general_texts::unknownParameters(source, stream->codecpar->codec_type, codecName(stream->codecpar)));
}

// Whether the probe found what a muxer needs to describe the stream.
bool hasParameters(const AVCodecParameters* par)
{
    switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO: return par->width > 0 && par->height > 0;
    case AVMEDIA_TYPE_AUDIO: return par->sample_rate > 0 && par->ch_layout.nb_channels > 0;
    default: return true;
    }
}

bool isPicture(const AVStream* stream)
{
    return (stream->disposition & (AV_DISPOSITION_ATTACHED_PIC | AV_DISPOSITION_TIMED_THUMBNAILS)) != 0;
}

// Audio and video (cover pictures aside), MPEG-4 timed text and SubRip text; subtitles of other
// kinds (bitmaps, styled text), attachments and data streams stay behind.
bool isCarried(const AVStream* stream)
{
    return mustCarry(stream) || becomesTimedText(stream->codecpar) ||
           (stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE &&
            stream->codecpar->codec_id == AV_CODEC_ID_MOV_TEXT);
}

}  // namespace

std::string codecName(const AVCodecParameters* par)
{
    if (par->codec_id != AV_CODEC_ID_NONE) return avcodec_get_name(par->codec_id);
    if (par->codec_tag) {
        char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
        av_fourcc_make_string(tag, par->codec_tag);
        return general_texts::unknownCodec(tag);
    }
    return general_texts::unknownCodec(nullptr);
}

Error unsupportedCodecError(const fs::path& source, const AVStream* stream)
{
    return unsupported(
        general_texts::unsupportedCodec(source, stream->codecpar->codec_type, codecName(stream->codecpar)));
}

bool mustCarry(const AVStream* stream)
{
    const auto type = stream->codecpar->codec_type;
    return (type == AVMEDIA_TYPE_VIDEO && !isPicture(stream)) || type == AVMEDIA_TYPE_AUDIO;
}

bool becomesTimedText(const AVCodecParameters* par)
{
    return par->codec_type == AVMEDIA_TYPE_SUBTITLE && par->codec_id == AV_CODEC_ID_SUBRIP;
}

AVCodecID outputCodec(const AVCodecParameters* par)
{
    return becomesTimedText(par) ? AV_CODEC_ID_MOV_TEXT : par->codec_id;
}

std::string lostStream(const AVStream* stream)
{
    const AVDictionaryEntry* file = av_dict_get(stream->metadata, "filename", nullptr, 0);
    const std::string what = file && *file->value ? std::string(file->value) : codecName(stream->codecpar);
    return general_texts::lostStream(stream->codecpar->codec_type, isPicture(stream), what);
}

ErrorOr<void> leaveOut(const ExportJob& job, const std::vector<std::string>& lost)
{
    if (lost.empty()) return {};
    if (!job.keepsSource) return unsupported(general_texts::cannotKeep(job.source, lost));
    for (const std::string& item : lost) printLine(general_texts::leftOutLine(job.source, item));
    return {};
}

ErrorOr<std::vector<int>> carriedStreams(const AVFormatContext* input, const ExportJob& job)
{
    const fs::path& source = job.source;
    std::vector<int> streams;
    std::vector<std::string> lost;
    bool video = false;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        if (!isCarried(stream)) {
            // The source's timecode track is not lost: the output gets its own.
            if (stream->codecpar->codec_tag == MKTAG('t', 'm', 'c', 'd')) continue;
            lost.push_back(lostStream(stream));
            continue;
        }
        if (stream->codecpar->codec_id == AV_CODEC_ID_NONE) return unsupportedCodecError(source, stream);
        if (!hasParameters(stream->codecpar)) return unknownParametersError(source, stream);
        video = video || stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        streams.push_back(static_cast<int>(i));
        for (const std::string& key : streamTagsWithoutPlace(stream))
            lost.push_back(general_texts::lostTag(lostStream(stream), key));
    }
    if (!video) return unrecognizedFile(source);
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        if (chapterKept(input, input->chapters[i])) continue;
        const AVDictionaryEntry* title = av_dict_get(input->chapters[i]->metadata, "title", nullptr, 0);
        lost.push_back(general_texts::lostChapter(title ? std::string(title->value) : std::to_string(i + 1)));
    }
    KV_TRY(leaveOut(job, lost));
    return streams;
}

}  // namespace kelvatta
