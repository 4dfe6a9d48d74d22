#include "media/general/general_muxer.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstring>

#include "media/base/media_error.h"
#include "media/general/general_streams.h"
#include "media/general/general_tags.h"
#include "media/general/general_timing.h"
#include "media/general/timed_text.h"
#include "media/general/general_texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMajorBrand = "mp42";
// The rate a video without one is declared at until its frames have told theirs (see addStream).
constexpr AVRational kSomeRate{25, 1};

// The source's codec tag where the muxer knows it for the same codec (hvc1 stays hvc1), else none
// so the muxer picks its own; the rule of FFmpeg's stream copy.
uint32_t outputCodecTag(const AVOutputFormat* format, const AVCodecParameters* par)
{
    unsigned int known = 0;
    if (!par->codec_tag) return 0;
    if (!format->codec_tag || av_codec_get_id(format->codec_tag, par->codec_tag) == par->codec_id ||
        !av_codec_get_tag2(format->codec_tag, par->codec_id, &known))
        return par->codec_tag;
    return 0;
}

// Whether format takes the stream in: its codec, tag and parameters pass the muxer's checks.
bool muxerTakes(const AVOutputFormat* format, const AVStream* in)
{
    auto io = FdIo::make(FdIo::Mode::discard, -1);
    if (!io) return false;
    auto context = makeOutputContext(format, io->context());
    if (context.isError() || addStream(context->get(), in).isError()) return false;
    AvOptions options;
    if (!setMuxerOptions(options, TagPlace::keys)) return false;
    return avformat_init_output(context->get(), options.get()) >= 0;
}

}  // namespace

ErrorOr<void> addStream(AVFormatContext* output, const AVStream* in)
{
    AVStream* out = avformat_new_stream(output, nullptr);
    if (!out || avcodec_parameters_copy(out->codecpar, in->codecpar) < 0) return outOfMemory();
    out->codecpar->codec_tag = outputCodecTag(output->oformat, in->codecpar);
    if (becomesTimedText(in->codecpar)) KV_TRY(setTimedText(out->codecpar));
    // Matroska and AVI name no channel layout; the usual one for the channel count lets the muxer
    // describe the channels (as FFmpeg's stream copy does).
    if (out->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && out->codecpar->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC &&
        out->codecpar->ch_layout.nb_channels > 0)
        av_channel_layout_default(&out->codecpar->ch_layout, out->codecpar->ch_layout.nb_channels);
    out->time_base = in->time_base;
    // Timed text counts in microseconds, as FFmpeg's own tools write it: the muxer ends a cue once a
    // packet of any stream passes the cue's end as a number, whatever its time base, and a cue that
    // overlaps the one before it would then be pushed back instead of ending that one.
    if (becomesTimedText(in->codecpar)) out->time_base = AVRational{1, AV_TIME_BASE};
    // The muxer makes a video's timecode track only where the video has a rate, and counts it at
    // that rate in the video's timescale: give it a whole rate here (the frames' own one is measured
    // while they are copied and written into the track afterwards).
    out->avg_frame_rate = out->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? declaredFrameRate(in).value_or(kSomeRate)
                                                                          : in->avg_frame_rate;
    out->r_frame_rate = in->r_frame_rate;
    out->sample_aspect_ratio = in->sample_aspect_ratio;
    out->disposition = in->disposition & ~(AV_DISPOSITION_ATTACHED_PIC | AV_DISPOSITION_TIMED_THUMBNAILS);
    KV_TRY(copyStreamTags(out, in));
    for (int i = 0; i < in->nb_side_data; ++i) {
        const AVPacketSideData& data = in->side_data[i];
        uint8_t* copy = av_stream_new_side_data(out, data.type, data.size);
        if (!copy) return outOfMemory();
        std::memcpy(copy, data.data, data.size);
    }
    return {};
}

ErrorOr<OutputContext> makeOutputContext(const AVOutputFormat* format, AVIOContext* pb)
{
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, format, nullptr, nullptr) < 0 || !raw) return outOfMemory();
    OutputContext context(raw);
    context->pb = pb;
    context->flags |= AVFMT_FLAG_BITEXACT;
    context->io_open = refuseNestedOpen;
    return context;
}

bool setMuxerOptions(AvOptions& options, TagPlace place)
{
    if (place == TagPlace::keys && !options.set("movflags", "use_metadata_tags")) return false;
    return options.set("brand", kMajorBrand);
}

ErrorOr<const AVOutputFormat*> chooseMuxer(const AVFormatContext* input, const std::vector<int>& streams,
                                           const fs::path& source)
{
    const AVOutputFormat* mp4 = av_guess_format("mp4", nullptr, nullptr);
    const AVOutputFormat* mov = av_guess_format("mov", nullptr, nullptr);
    if (!mp4 || !mov) return exportError(ExportErrorCode::muxFailed, general_texts::muxerMissing());
    const bool mp4TakesAll =
        std::all_of(streams.begin(), streams.end(), [&](int i) { return muxerTakes(mp4, input->streams[i]); });
    if (mp4TakesAll) return mp4;
    for (int i : streams)
        if (!muxerTakes(mov, input->streams[i])) return unsupportedCodecError(source, input->streams[i]);
    return mov;
}

}  // namespace kelvatta
