#include "media/general/general_remux.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
}

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "media/files/fd_source.h"
#include "media/counting/timecode.h"
#include "media/general/general_moov.h"
#include "media/general/general_start.h"
#include "media/general/general_tags.h"
#include "media/general/general_timing.h"
#include "media/general/libav_io.h"
#include "media/base/media_error.h"
#include "media/files/output_file.h"
#include "platform/checked.h"
#include "platform/log.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

// The key space of the metadata items the muxer writes (as mdta keys in the movie's meta box).
constexpr std::string_view kMdtaPrefix = "mdta/";
constexpr const char* kMajorBrand = "mp42";
// The rate a video without one is declared at until its frames have told theirs (see addStream).
constexpr AVRational kSomeRate{25, 1};

// The demuxer whose errors are being counted on this thread (see DemuxerErrors), and their count.
thread_local const AVFormatContext* watchedDemuxer = nullptr;
thread_local int demuxerErrors = 0;

// Prints nothing: the program's only log is its own lines. Counts the errors of a watched demuxer.
void onLibavLog(void* context, int level, const char*, va_list)
{
    if (level <= AV_LOG_ERROR && context && context == watchedDemuxer) ++demuxerErrors;
}

void silenceLibav()
{
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_log_set_callback(onLibavLog);
    });
}

// Counts the errors that the source's demuxer logs on this thread, from watch() until this object
// goes. Damage that a demuxer reads into (a broken element, a file that ends inside one) is often
// only logged: the demuxer then skips the rest of the damaged part or reports the end of the file,
// and what it read would be exported as the whole clip (in replace mode, the rest would be lost).
class DemuxerErrors {
public:
    DemuxerErrors() = default;
    ~DemuxerErrors() { watchedDemuxer = nullptr; }
    DemuxerErrors(const DemuxerErrors&) = delete;
    DemuxerErrors& operator=(const DemuxerErrors&) = delete;

    void watch(const AVFormatContext* demuxer)
    {
        watchedDemuxer = demuxer;
        demuxerErrors = 0;
    }
    int count() const { return demuxerErrors; }
};

Error damagedError(const fs::path& source, const std::string& reason)
{
    return damaged("文件" + quotedName(source) + "已损坏，无法完整读取：" + reason);
}

// ---------------------------------------------------------------------------------------------------
// Streams

const char* kindName(AVMediaType type)
{
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: return "视频";
    case AVMEDIA_TYPE_AUDIO: return "音频";
    case AVMEDIA_TYPE_SUBTITLE: return "字幕";
    case AVMEDIA_TYPE_ATTACHMENT: return "附件";
    default: return "数据";
    }
}

std::string codecName(const AVCodecParameters* par)
{
    if (par->codec_id != AV_CODEC_ID_NONE) return avcodec_get_name(par->codec_id);
    if (par->codec_tag) {
        char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
        av_fourcc_make_string(tag, par->codec_tag);
        return std::string("未知（") + tag + "）";
    }
    return "未知";
}

Error unsupportedCodecError(const fs::path& source, const AVStream* stream)
{
    return unsupported("文件" + quotedName(source) + "的" + kindName(stream->codecpar->codec_type) + "编码 " +
                       codecName(stream->codecpar) + " 不能写入 MP4 文件");
}

Error unknownParametersError(const fs::path& source, const AVStream* stream)
{
    return damaged("无法读取文件" + quotedName(source) + "中" + kindName(stream->codecpar->codec_type) + "流（" +
                   codecName(stream->codecpar) + "）的参数");
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

bool mustCarry(const AVStream* stream)
{
    const auto type = stream->codecpar->codec_type;
    return (type == AVMEDIA_TYPE_VIDEO && !isPicture(stream)) || type == AVMEDIA_TYPE_AUDIO;
}

// SubRip text (Matroska's usual subtitles), which the output carries as MPEG-4 timed text.
bool becomesTimedText(const AVCodecParameters* par)
{
    return par->codec_type == AVMEDIA_TYPE_SUBTITLE && par->codec_id == AV_CODEC_ID_SUBRIP;
}

// The codec a carried stream has in the output.
AVCodecID outputCodec(const AVCodecParameters* par)
{
    return becomesTimedText(par) ? AV_CODEC_ID_MOV_TEXT : par->codec_id;
}

// Audio and video (cover pictures aside), MPEG-4 timed text and SubRip text; subtitles of other
// kinds (bitmaps, styled text), attachments and data streams stay behind.
bool isCarried(const AVStream* stream)
{
    return mustCarry(stream) || becomesTimedText(stream->codecpar) ||
           (stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE &&
            stream->codecpar->codec_id == AV_CODEC_ID_MOV_TEXT);
}

// A stream the output cannot carry, as the texts name it: 字幕流（hdmv_pgs_subtitle）, 附件（font.ttf）.
std::string lostStream(const AVStream* stream)
{
    const AVDictionaryEntry* file = av_dict_get(stream->metadata, "filename", nullptr, 0);
    const std::string what = file && *file->value ? std::string(file->value) : codecName(stream->codecpar);
    if (isPicture(stream)) return "封面图片（" + what + "）";
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT) return "附件（" + what + "）";
    return std::string(kindName(stream->codecpar->codec_type)) + "流（" + what + "）";
}

// What the output leaves out of the source: in save-as, each is named in a line; where the output
// is to replace the source, the export is refused so that nothing is lost.
ErrorOr<void> leaveOut(const ExportJob& job, const std::vector<std::string>& lost)
{
    if (lost.empty()) return {};
    if (!job.keepsSource) {
        std::string list;
        for (const std::string& item : lost) list += (list.empty() ? "" : "、") + item;
        return unsupported("无法保留文件" + quotedName(job.source) + "中的以下内容，未替换原文件：" + list +
                           "（另存为可保存不含这些内容的副本）");
    }
    for (const std::string& item : lost)
        printLine("略过的流：" + job.source.string() + " 中的" + item + "，MP4 文件无法携带");
    return {};
}

// Whether the chapter marks a point of the output: one that ends before the clip starts does not.
bool chapterKept(const AVFormatContext* input, const AVChapter* chapter)
{
    const int64_t start = startIn(input, chapter->time_base);
    return chapter->start >= start || chapter->end > start;
}

// The indices of the source streams to copy, in source order. What is left out (a timecode track
// aside) goes through leaveOut, with the tags of copied streams that have no place in a track and
// chapters that end before the clip starts.
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
            lost.push_back(lostStream(stream) + "的标签“" + key + "”");
    }
    if (!video) return unrecognizedFile(source);
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        if (chapterKept(input, input->chapters[i])) continue;
        const AVDictionaryEntry* title = av_dict_get(input->chapters[i]->metadata, "title", nullptr, 0);
        lost.push_back("章节（" + (title ? std::string(title->value) : std::to_string(i + 1)) + "）");
    }
    KV_TRY(leaveOut(job, lost));
    return streams;
}

// ---------------------------------------------------------------------------------------------------
// Source

struct Source {
    int fd = -1;  // the locked clip's
    struct stat status {};
    std::unique_ptr<FdIo> io;  // outlives context, which reads through it
    InputContext context;
};

// What a failed open or probe of the source means for the user. Demuxers report refused nested
// files and broken headers with all kinds of codes (a playlist whose items may not be opened gives
// ENOMEM), so anything but our own read error or a cancellation means the file is not one we know.
Error sourceError(const Source& source, const ExportJob& job, const ExportControl& control)
{
    if (control.isCancelled()) return cancelledError();
    if (int err = source.io->failedErrno()) return fileError("无法读取文件", job.source, err);
    return unrecognizedFile(job.source);
}

// Opens the source and watches its demuxer's errors (the header's own are not counted: a damaged
// index or tag costs no media data).
ErrorOr<Source> openSource(const ExportJob& job, ExportControl& control, const LockedClip& clip, DemuxerErrors& errors)
{
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

// ---------------------------------------------------------------------------------------------------
// Output streams and muxer

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

// The description of a timed text track ('tx3g' sample entry, after its data reference): white
// 16-point Arial, centred at the bottom, on no background (FFmpeg's defaults, which its tools read
// back as unstyled text).
constexpr std::array<uint8_t, 48> kTimedTextEntry = {
    0, 0,    0, 0,                                                // display flags
    1, 0xFF,                                                      // justification: centred, bottom
    0, 0,    0, 0,                                                // background colour (RGBA): transparent
    0, 0,    0, 0,   0,   0,   0,   0,                            // text box: the whole track
    0, 0,    0, 0,   0,   1,   0,   16,  0xFF, 0xFF, 0xFF, 0xFF,  // style: font 1, plain, 16 points, white
    0, 0,    0, 18,  'f', 't', 'a', 'b', 0,    1,                 // font table (18 bytes), one entry:
    0, 1,    5, 'A', 'r', 'i', 'a', 'l'};                         // font 1, "Arial"

// Makes the parameters of a SubRip stream those of timed text.
ErrorOr<void> setTimedText(AVCodecParameters* par)
{
    par->codec_id = AV_CODEC_ID_MOV_TEXT;
    par->codec_tag = MKTAG('t', 'x', '3', 'g');
    av_freep(&par->extradata);
    par->extradata_size = 0;
    par->extradata = static_cast<uint8_t*>(av_mallocz(kTimedTextEntry.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return outOfMemory();
    std::memcpy(par->extradata, kTimedTextEntry.data(), kTimedTextEntry.size());
    par->extradata_size = static_cast<int>(kTimedTextEntry.size());
    return {};
}

// A SubRip cue as a timed text sample: the text's length (16 bits, big-endian), then the UTF-8 text
// with its markup dropped (<i>, <font color="...">, {\an8}: timed text styles are not made from it)
// and its line breaks as LF. Nothing when the text is longer than a sample can say.
std::optional<std::string> timedTextSample(std::string_view cue)
{
    const auto isTag = [](std::string_view rest) {
        // <b>, </i>, <font color="red">: markup; any other "<" is text.
        size_t at = rest.starts_with("</") ? 2 : 1;
        size_t end = at;
        while (end < rest.size() && std::isalpha(static_cast<unsigned char>(rest[end]))) ++end;
        std::string name(rest.substr(at, end - at));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name != "b" && name != "i" && name != "u" && name != "s" && name != "font") return std::string_view::npos;
        if (end < rest.size() && rest[end] != '>' && rest[end] != ' ') return std::string_view::npos;
        return rest.find('>', end);
    };
    std::string text;
    for (size_t i = 0; i < cue.size(); ++i) {
        const std::string_view rest = cue.substr(i);
        size_t skip = std::string_view::npos;
        if (rest.starts_with("<")) skip = isTag(rest);
        else if (rest.starts_with("{\\")) skip = rest.find('}');
        if (skip != std::string_view::npos) {
            i += skip;
        } else if (rest.starts_with("\r\n")) {
            // the LF comes next
        } else {
            text += rest[0] == '\r' ? '\n' : rest[0];
        }
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.size() > 0xFFFF) return std::nullopt;
    return std::string{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xFF)} + text;
}

// Adds a copy of in to output: codec parameters, timing hints, display side data (rotation,
// HDR, stereo) and the tags with a place in a track. SubRip text becomes timed text.
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

// An output context for format writing to pb, without streams. Bit-exact: no encoder tag.
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

void setMuxerOptions(AvOptions& options)
{
    options.set("movflags", "use_metadata_tags");
    options.set("brand", kMajorBrand);
}

// Whether format takes the stream in: its codec, tag and parameters pass the muxer's checks.
bool muxerTakes(const AVOutputFormat* format, const AVStream* in)
{
    auto io = FdIo::make(FdIo::Mode::discard, -1);
    if (!io) return false;
    auto context = makeOutputContext(format, io->context());
    if (context.isError() || addStream(context->get(), in).isError()) return false;
    AvOptions options;
    setMuxerOptions(options);
    return avformat_init_output(context->get(), options.get()) >= 0;
}

// The mp4 muxer, or the mov muxer (brand mp42) when mp4 refuses one of the streams, such as PCM
// audio; an error naming the codec when neither takes a stream.
ErrorOr<const AVOutputFormat*> chooseMuxer(const AVFormatContext* input, const std::vector<int>& streams,
                                           const fs::path& source)
{
    const AVOutputFormat* mp4 = av_guess_format("mp4", nullptr, nullptr);
    const AVOutputFormat* mov = av_guess_format("mov", nullptr, nullptr);
    if (!mp4 || !mov) return exportError(ExportErrorCode::muxFailed, "无法写入 MP4 文件：缺少 MP4 封装器");
    const bool mp4TakesAll =
        std::all_of(streams.begin(), streams.end(), [&](int i) { return muxerTakes(mp4, input->streams[i]); });
    if (mp4TakesAll) return mp4;
    for (int i : streams)
        if (!muxerTakes(mov, input->streams[i])) return unsupportedCodecError(source, input->streams[i]);
    return mov;
}

// ---------------------------------------------------------------------------------------------------
// Chapters

// The source's chapters that mark a point of the output, moved as its streams are (the muxer writes
// their start times and titles).
ErrorOr<void> addChapters(AVFormatContext* output, const AVFormatContext* input)
{
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        const AVChapter* in = input->chapters[i];
        if (!chapterKept(input, in)) continue;
        const int64_t start = startIn(input, in->time_base);
        auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!out) return outOfMemory();
        out->id = in->id;
        out->time_base = in->time_base;
        // start is never INT64_MIN (av_rescale's overflow value); a missing time becomes INT64_MIN here.
        out->start = std::max<int64_t>(0, shifted(in->start, -start).value_or(0));
        out->end = std::max(out->start, shifted(in->end, -start).value_or(out->start));
        auto* grown = static_cast<AVChapter**>(
            av_realloc_array(output->chapters, size_t{output->nb_chapters} + 1, sizeof(AVChapter*)));
        if (grown) output->chapters = grown;
        if (!grown || av_dict_copy(&out->metadata, in->metadata, 0) < 0) {
            av_dict_free(&out->metadata);
            av_free(out);
            return outOfMemory();
        }
        output->chapters[output->nb_chapters++] = out;
    }
    return {};
}

// ---------------------------------------------------------------------------------------------------
// Writing

class Remux {
public:
    // Writes the copy of source's streams to output (as path names it).
    Remux(const ExportJob& job, ExportControl& control, Source& source, std::vector<int> streams, fs::path path)
        : job_(job), control_(control), source_(source), streams_(std::move(streams)), path_(std::move(path))
    {
    }

    ErrorOr<void> run(const AVOutputFormat* format, OutputFile& output)
    {
        io_ = FdIo::make(FdIo::Mode::write, output.fd());
        if (!io_) return outOfMemory();
        context_ = KV_TRY(makeOutputContext(format, io_->context()));
        AVFormatContext* input = source_.context.get();
        outputIndex_.assign(input->nb_streams, -1);
        for (int i : streams_) {
            KV_TRY(addStream(context_.get(), input->streams[i]));
            outputIndex_[static_cast<size_t>(i)] = static_cast<int>(context_->nb_streams) - 1;
            timing_.emplace_back(input->streams[i], input->start_time);
            if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
                meters_.emplace_back(FrameRateMeter(input->streams[i]->time_base));
            else meters_.emplace_back();
        }
        packetsWritten_.assign(streams_.size(), 0);
        lastCueEnd_.assign(streams_.size(), INT64_MIN);
        KV_TRY(addChapters(context_.get(), input));
        KV_TRY(copyContainerTags(&context_->metadata, input->metadata, job_.metadata));
        for (const MetadataItem& item : job_.metadata) {
            if (!std::string_view(item.identifier).starts_with(kMdtaPrefix))
                return unsupported("无法写入元数据项：" + item.identifier);
            av_dict_set(&context_->metadata, item.identifier.substr(kMdtaPrefix.size()).c_str(), item.value.c_str(), 0);
        }

        // Whether each video's timecode track can start there, at the rate the muxer counts it, before
        // anything is written (the rate measured while copying is asked again below).
        const std::optional<std::string> start = startItem();
        for (unsigned k = 0; start && k < context_->nb_streams; ++k) {
            const AVStream* out = context_->streams[k];
            if (out->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
            const auto frames = timecodeFrameRate(static_cast<uint32_t>(std::max(out->avg_frame_rate.num, 0)),
                                                  static_cast<uint32_t>(std::max(out->avg_frame_rate.den, 0)));
            if (frames) KV_TRY(generalStartFrame(*frames, *start, job_.source));
        }

        AvOptions options;
        setMuxerOptions(options);
        int ret = avformat_write_header(context_.get(), options.get());
        if (ret < 0) return writeError(ret);
        const bool strict = !(context_->oformat->flags & AVFMT_TS_NONSTRICT);
        for (size_t k = 0; k < timing_.size(); ++k) timing_[k].setOutput(context_->streams[k]->time_base, strict);

        KV_TRY(copyPackets());
        ret = av_write_trailer(context_.get());
        if (ret < 0 || io_->failedErrno()) return writeError(ret);

        MuxedMoovChanges changes;
        timecodeRates_ = KV_TRY(timecodeRates());
        changes.timecodeRates = timecodeRates_;
        for (const TimecodeRate& rate : timecodeRates_)
            if (start) changes.timecodeFrames.push_back(KV_TRY(generalStartFrame(rate.frames, *start, job_.source)));
        changes.texts = userDataTexts(input->metadata);
        outputSize_ = KV_TRY(changeMuxedMoov(output.fd(), io_->size(), changes, path_));
        return {};
    }

    const std::vector<int64_t>& packetsWritten() const { return packetsWritten_; }
    // The rates of the timecode tracks, one per video stream.
    const std::vector<TimecodeRate>& timecodeRatesWritten() const { return timecodeRates_; }
    uint64_t outputSize() const { return outputSize_; }

private:
    // The value of the "timecode" item, where the timecode tracks start; nothing without one.
    std::optional<std::string> startItem() const
    {
        for (const MetadataItem& item : job_.metadata)
            if (item.identifier == std::string(kMdtaPrefix) + "timecode") return item.value;
        return std::nullopt;
    }

    // The rate each video's timecode track counts at: that of its frames' steps, or where they
    // cannot tell (a single frame), the one it declares.
    ErrorOr<std::vector<TimecodeRate>> timecodeRates() const
    {
        std::vector<TimecodeRate> rates;
        for (size_t k = 0; k < meters_.size(); ++k) {
            if (!meters_[k]) continue;
            const AVStream* in = source_.context->streams[streams_[k]];
            auto rate = meters_[k]->rate();
            if (!rate) rate = declaredFrameRate(in);
            if (!rate)
                return unsupported("无法确定文件" + quotedName(job_.source) + "中" + lostStream(in) +
                                   "的帧率，无法写入时间码轨道");
            const auto frames = timecodeFrameRate(static_cast<uint32_t>(rate->num), static_cast<uint32_t>(rate->den));
            if (!frames) return unsupported("文件" + quotedName(job_.source) + "的帧率过高，无法写入时间码轨道");
            rates.push_back({static_cast<uint32_t>(rate->num), static_cast<uint32_t>(rate->den), *frames});
        }
        return rates;
    }

    // Makes a SubRip packet a timed text sample. A cue that starts before the one before it ends
    // would be cut short (a track shows one sample at a time): lost, as leaveOut tells.
    ErrorOr<void> toTimedText(AVPacket* packet, size_t out)
    {
        const AVStream* stream = source_.context->streams[packet->stream_index];
        const auto sample = timedTextSample(
            std::string_view(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size)));
        if (!sample)
            return unsupported("文件" + quotedName(job_.source) + "的" + lostStream(stream) + "中有一条字幕过长，" +
                               "无法写入 MP4 文件");
        if (packet->pts != AV_NOPTS_VALUE && packet->pts < lastCueEnd_[out] && !overlapTold_) {
            overlapTold_ = true;
            KV_TRY(leaveOut(job_, {lostStream(stream) + "的重叠部分"}));
        }
        if (packet->pts != AV_NOPTS_VALUE)
            lastCueEnd_[out] = std::max(lastCueEnd_[out], shifted(packet->pts, packet->duration).value_or(INT64_MAX));
        Packet converted(av_packet_alloc());
        if (!converted || av_new_packet(converted.get(), static_cast<int>(sample->size())) < 0 ||
            av_packet_copy_props(converted.get(), packet) < 0)
            return outOfMemory();
        std::memcpy(converted->data, sample->data(), sample->size());
        av_packet_unref(packet);
        av_packet_move_ref(packet, converted.get());
        return {};
    }

    ErrorOr<void> copyPackets()
    {
        Packet packet(av_packet_alloc());
        if (!packet) return outOfMemory();
        AVFormatContext* input = source_.context.get();
        const auto sourceSize = static_cast<double>(source_.status.st_size);
        double progress = 0;
        for (;;) {
            if (control_.isCancelled()) return cancelledError();
            int ret = av_read_frame(input, packet.get());
            if (ret == AVERROR_EOF) break;
            if (ret < 0) return readError(ret);
            const auto in = static_cast<size_t>(packet->stream_index);
            // Some containers (MPEG-TS) can add streams while being read.
            if (in >= outputIndex_.size() && mustCarry(input->streams[in])) return lateStreamError(input->streams[in]);
            const int out = in < outputIndex_.size() ? outputIndex_[in] : -1;
            if (out < 0) {
                av_packet_unref(packet.get());
                continue;
            }
            if (becomesTimedText(input->streams[in]->codecpar)) {
                auto converted = toTimedText(packet.get(), static_cast<size_t>(out));
                if (converted.isError()) {
                    av_packet_unref(packet.get());
                    return converted.releaseError();
                }
            }
            if (auto& meter = meters_[static_cast<size_t>(out)])
                meter->add(packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts);
            if (!timing_[static_cast<size_t>(out)].apply(packet.get())) {
                av_packet_unref(packet.get());
                return damagedError(job_.source, "时间戳超出范围");
            }
            packet->stream_index = out;
            packet->pos = -1;
            ret = av_interleaved_write_frame(context_.get(), packet.get());
            if (ret < 0 || io_->failedErrno()) return writeError(ret);
            ++packetsWritten_[static_cast<size_t>(out)];
            if (sourceSize > 0) {
                progress = std::max(progress, std::min(0.99, static_cast<double>(source_.io->position()) / sourceSize));
                control_.setProgress(progress);
            }
        }
        // A failed read can look like the end of the file to a demuxer.
        if (source_.io->failedErrno()) return readError(AVERROR_EOF);
        return {};
    }

    Error lateStreamError(const AVStream* stream) const
    {
        return unsupported("文件" + quotedName(job_.source) + "在中途出现了新的" +
                           kindName(stream->codecpar->codec_type) + "流（" + codecName(stream->codecpar) +
                           "），无法导出");
    }

    Error readError(int ret) const
    {
        if (control_.isCancelled()) return cancelledError();
        if (int err = source_.io->failedErrno()) return fileError("无法读取文件", job_.source, err);
        if (ret == AVERROR(ENOMEM)) return outOfMemory();
        return damagedError(job_.source, avErrorText(ret));
    }

    Error writeError(int ret) const
    {
        if (int err = io_->failedErrno()) return fileError("无法写入文件", path_, err);
        if (control_.isCancelled()) return cancelledError();
        if (ret == AVERROR(ENOMEM)) return outOfMemory();
        return exportError(ExportErrorCode::muxFailed,
                           "无法将文件" + quotedName(job_.source) + "写入 MP4 文件：" + avErrorText(ret));
    }

    const ExportJob& job_;
    ExportControl& control_;
    Source& source_;
    std::vector<int> streams_;
    fs::path path_;
    std::unique_ptr<FdIo> io_;  // outlives context_
    OutputContext context_;
    std::vector<int> outputIndex_;                       // by source stream: output stream or -1
    std::vector<StreamTiming> timing_;                   // by output stream
    std::vector<std::optional<FrameRateMeter>> meters_;  // by output stream: a video's
    std::vector<TimecodeRate> timecodeRates_;
    uint64_t outputSize_ = 0;
    std::vector<int64_t> packetsWritten_;  // by output stream
    std::vector<int64_t> lastCueEnd_;      // by output stream: where the last timed text sample ends
    bool overlapTold_ = false;
};

// ---------------------------------------------------------------------------------------------------
// Checking the result

// Reads the finished output (fd, as path names it) back: its movie box must parse, hold the copied
// streams in order with their codecs and every sample inside the file, a timecode track for each
// video at the rate written, and the metadata items.
ErrorOr<void> verifyOutput(const ExportJob& job, const fs::path& path, int fd, const AVFormatContext* input,
                           const std::vector<int>& streams, const Remux& remux)
{
    const uint64_t size = remux.outputSize();
    const std::vector<int64_t>& packetsWritten = remux.packetsWritten();
    const Error failed = exportError(ExportErrorCode::verifyFailed, "导出的文件" + quotedName(path) + "未通过校验");
    auto io = FdIo::make(FdIo::Mode::read, fd, size);
    if (!io) return outOfMemory();
    InputContext output = openInput(*io, av_find_input_format("mov"), nullptr);
    // One failed read voids the check, even where the demuxer went on past it.
    if (int err = io->failedErrno()) return fileError("无法读取文件", path, err);
    if (!output) return failed;
    if (output->nb_streams < streams.size()) return failed;
    for (size_t k = 0; k < streams.size(); ++k) {
        AVStream* written = output->streams[k];
        if (written->codecpar->codec_id != outputCodec(input->streams[streams[k]]->codecpar)) return failed;
        const int entries = avformat_index_get_entries_count(written);
        if (packetsWritten[k] > 0 && entries <= 0) return failed;
        for (int e = 0; e < entries; ++e) {
            const AVIndexEntry* entry = avformat_index_get_entry(written, e);
            if (!entry || entry->pos < 0) return failed;
            auto end = checkedAdd<uint64_t>(static_cast<uint64_t>(entry->pos), static_cast<uint64_t>(entry->size));
            if (!end || *end > size) return failed;
        }
    }
    // The demuxer gives a timecode track the rate of its sample description.
    // Each reads the start of the "timecode" item, as the demuxer counts it from the sample.
    std::optional<Timecode> start;
    for (const MetadataItem& item : job.metadata)
        if (item.identifier == std::string(kMdtaPrefix) + "timecode") start = Timecode::parse(item.value);
    std::vector<AVRational> timecodes;
    for (unsigned k = 0; k < output->nb_streams; ++k) {
        const AVStream* stream = output->streams[k];
        if (stream->codecpar->codec_tag != MKTAG('t', 'm', 'c', 'd')) continue;
        timecodes.push_back(stream->avg_frame_rate);
        const AVDictionaryEntry* read = av_dict_get(stream->metadata, "timecode", nullptr, 0);
        if (start && (!read || Timecode::parse(read->value) != start)) return failed;
    }
    const std::vector<TimecodeRate>& rates = remux.timecodeRatesWritten();
    if (timecodes.size() != rates.size()) return failed;
    for (size_t k = 0; k < rates.size(); ++k)
        if (int64_t{timecodes[k].num} != rates[k].timescale || int64_t{timecodes[k].den} != rates[k].frameDuration)
            return failed;
    for (const MetadataItem& item : job.metadata) {
        const std::string key = item.identifier.substr(kMdtaPrefix.size());
        const AVDictionaryEntry* found = av_dict_get(output->metadata, key.c_str(), nullptr, AV_DICT_MATCH_CASE);
        if (!found || item.value != found->value) return failed;
    }
    return {};
}

// Where the output goes: for a source in a container other than MPEG-4 or QuickTime (Matroska,
// AVI, MPEG-TS ...), where the job gives one, the name of an MP4 file; else the job's output.
const fs::path& outputPath(const ExportJob& job, const AVFormatContext* input)
{
    const bool isoMedia = av_match_name("mov", input->iformat->name) || av_match_name("mp4", input->iformat->name);
    return isoMedia || job.mp4Output.empty() ? job.output : job.mp4Output;
}

}  // namespace

ErrorOr<void> remuxGeneral(const ExportJob& job, ExportControl& control, LockedClip& clip)
{
    silenceLibav();
    if (control.isCancelled()) return cancelledError();
    if (!job.fileType.empty() && job.fileType != kFileTypeMPEG4)
        return unsupported("不支持的导出文件类型：" + job.fileType);

    DemuxerErrors errors;
    Source source = KV_TRY(openSource(job, control, clip, errors));
    std::vector<int> streams = KV_TRY(carriedStreams(source.context.get(), job));
    const AVOutputFormat* format = KV_TRY(chooseMuxer(source.context.get(), streams, job.source));
    if (control.isCancelled()) return cancelledError();

    const fs::path& path = outputPath(job, source.context.get());
    control.setOutput(path);
    OutputFile output = KV_TRY(OutputFile::create(path, job.realOutputFolder));
    Remux remux(job, control, source, streams, path);
    KV_TRY(remux.run(format, output));
    if (errors.count() > 0) return damagedError(job.source, "文件中有无法解析的数据");
    KV_TRY(verifyOutput(job, path, output.fd(), source.context.get(), streams, remux));

    // A clip still being written (copied from a card, say) would be replaced by the part read so far.
    KV_TRY(checkSourceUnchanged(job.source, source.fd, source.status));
    if (control.isCancelled()) return cancelledError();

    clip.lockReplacement(output.fd(), output.created());
    auto committed = output.commit(source.status, source.fd);
    if (committed.isError()) return committed.releaseError();
    return {};
}

}  // namespace kelvatta
