#include "media/general/general_writer.h"

extern "C" {
#include <libavutil/avstring.h>
}

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "media/base/media_error.h"
#include "media/boxes/quicktime_meta.h"
#include "media/counting/timecode.h"
#include "media/general/general_chapters.h"
#include "media/general/general_moov.h"
#include "media/general/general_muxer.h"
#include "media/general/general_start.h"
#include "media/general/general_streams.h"
#include "media/general/general_tags.h"
#include "media/general/general_timing.h"
#include "media/general/timed_text.h"
#include "media/general/general_texts.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

class Remux {
public:
    // Writes the copy of source's streams to output (as path names it).
    Remux(const ExportJob& job, ExportControl& control, Source& source, std::vector<int> streams, fs::path path)
        : job_(job), control_(control), source_(source), streams_(std::move(streams)), path_(std::move(path))
    {
    }

    // Where the source's container tags go: as iTunes-style items only through the mp4 muxer (the mov
    // muxer writes QuickTime user data texts instead).
    ErrorOr<void> run(const AVOutputFormat* format, TagPlace tags, OutputFile& output)
    {
        tags_ = av_match_name("mp4", format->name) ? tags : TagPlace::keys;
        return write(format, output);
    }

    Remuxed written() const { return {packetsWritten_, timecodeRates_, outputSize_}; }

private:
    ErrorOr<void> write(const AVOutputFormat* format, OutputFile& output)
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
        held_.resize(streams_.size());
        lastCueEnd_.assign(streams_.size(), INT64_MIN);
        KV_TRY(addChapters(context_.get(), input));
        KV_TRY(copyContainerTags(&context_->metadata, input->metadata, job_.metadata));
        std::vector<MetadataItem> keys;  // for a meta of keys beside the muxer's items
        if (tags_ == TagPlace::items) keys = KV_TRY(placeAsItems(&context_->metadata, input->metadata));
        for (const MetadataItem& item : generalItems(job_.metadata)) {
            if (!std::string_view(item.identifier).starts_with(kMdtaPrefix))
                return unsupported(general_texts::itemNotWritable(item.identifier));
            // Given to the muxer as well, which makes the timecode tracks from the "timecode" tag.
            if (av_dict_set(&context_->metadata, item.identifier.substr(kMdtaPrefix.size()).c_str(), item.value.c_str(),
                            0) < 0)
                return outOfMemory();
            if (tags_ == TagPlace::items) keys.push_back(item);
        }

        // Whether each video's timecode track can start there, at the rate the muxer counts it, before
        // anything is written (the rate measured while copying is asked again below).
        const std::optional<StartTimecode> start = requestedStart(job_.metadata);
        for (unsigned k = 0; start && k < context_->nb_streams; ++k) {
            const AVStream* out = context_->streams[k];
            if (out->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
            const auto frames = timecodeFrameRate(static_cast<uint32_t>(std::max(out->avg_frame_rate.num, 0)),
                                                  static_cast<uint32_t>(std::max(out->avg_frame_rate.den, 0)));
            if (frames) KV_TRY(generalStartFrame(*frames, *start, job_.source));
        }

        AvOptions options;
        if (!setMuxerOptions(options, tags_)) return outOfMemory();
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
        changes.texts = userDataTexts(input->metadata, tags_);
        changes.meta = KV_TRY(buildQuickTimeMeta(keys));
        outputSize_ = KV_TRY(changeMuxedMoov(output.fd(), io_->size(), changes, path_));
        return {};
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
            if (!rate) return unsupported(general_texts::rateUnknown(job_.source, lostStream(in)));
            const auto frames = timecodeFrameRate(static_cast<uint32_t>(rate->num), static_cast<uint32_t>(rate->den));
            if (!frames) return unsupported(general_texts::rateTooHigh(job_.source));
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
        if (!sample) return unsupported(general_texts::cueTooLong(job_.source, lostStream(stream)));
        if (packet->pts != AV_NOPTS_VALUE && packet->pts < lastCueEnd_[out] && !overlapTold_) {
            overlapTold_ = true;
            KV_TRY(leaveOut(job_, {general_texts::lostOverlap(lostStream(stream))}));
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

    // An audio or video stream's last sample lasts until the stream ends, which the demuxer may know
    // better than the packet says: libavformat's mov demuxer gives the samples of a fragmented MP4 no
    // durations of their own (the fragments carry them) and fills them in as whole frames (1024
    // samples of AAC), and the muxer takes the last packet's duration for its sample's, so a short
    // last frame would grow. The stream ends where the samples of the fragments read end (its
    // duration, on the timeline of the decoding times). Only a shorter duration is taken: an edit
    // list moves that timeline away from the packets' times, and a guessed end (a text stream's) is
    // no sample's.
    void endLastSample(AVPacket* packet) const
    {
        const AVFormatContext* input = source_.context.get();
        const AVStream* stream = input->streams[packet->stream_index];
        const AVMediaType type = stream->codecpar->codec_type;
        if (!av_match_name("mov", input->iformat->name) || (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) ||
            stream->duration == AV_NOPTS_VALUE || packet->dts == AV_NOPTS_VALUE)
            return;
        const auto left = checkedSub(stream->duration, packet->dts);
        if (left && *left > 0 && *left < packet->duration) packet->duration = *left;
    }

    ErrorOr<void> copyPackets()
    {
        AVFormatContext* input = source_.context.get();
        const auto sourceSize = static_cast<double>(source_.status.st_size);
        double progress = 0;
        for (;;) {
            if (control_.isCancelled()) return cancelledError();
            Packet packet(av_packet_alloc());
            if (!packet) return outOfMemory();
            int ret = av_read_frame(input, packet.get());
            if (ret == AVERROR_EOF) break;
            if (ret < 0) return readError(ret);
            const auto in = static_cast<size_t>(packet->stream_index);
            // Some containers (MPEG-TS) can add streams while being read.
            if (in >= outputIndex_.size() && mustCarry(input->streams[in])) return lateStreamError(input->streams[in]);
            const int out = in < outputIndex_.size() ? outputIndex_[in] : -1;
            if (out < 0) continue;
            // Each stream's packet is written once the next one shows it was not the last.
            std::swap(held_[static_cast<size_t>(out)], packet);
            if (packet) KV_TRY(writePacket(packet.get(), out));
            if (sourceSize > 0) {
                progress = std::max(progress, std::min(0.99, static_cast<double>(source_.io->position()) / sourceSize));
                control_.setProgress(progress);
            }
        }
        // A failed read can look like the end of the file to a demuxer.
        if (source_.io->failedErrno()) return readError(AVERROR_EOF);
        for (size_t out = 0; out < held_.size(); ++out) {
            if (!held_[out]) continue;
            endLastSample(held_[out].get());
            KV_TRY(writePacket(held_[out].get(), static_cast<int>(out)));
        }
        return {};
    }

    // Writes a source packet as output stream out's.
    ErrorOr<void> writePacket(AVPacket* packet, int out)
    {
        const AVFormatContext* input = source_.context.get();
        if (becomesTimedText(input->streams[packet->stream_index]->codecpar))
            KV_TRY(toTimedText(packet, static_cast<size_t>(out)));
        if (auto& meter = meters_[static_cast<size_t>(out)])
            meter->add(packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts);
        if (!timing_[static_cast<size_t>(out)].apply(packet))
            return damagedError(job_.source, general_texts::timestampOutOfRange());
        packet->stream_index = out;
        packet->pos = -1;
        const int ret = av_interleaved_write_frame(context_.get(), packet);
        if (ret < 0 || io_->failedErrno()) return writeError(ret);
        ++packetsWritten_[static_cast<size_t>(out)];
        return {};
    }

    Error lateStreamError(const AVStream* stream) const
    {
        return unsupported(
            general_texts::lateStream(job_.source, stream->codecpar->codec_type, codecName(stream->codecpar)));
    }

    Error readError(int ret) const { return sourceReadError(source_, job_, control_, ret); }

    Error writeError(int ret) const
    {
        if (int err = io_->failedErrno()) return fileError(FileAction::write, path_, err);
        if (control_.isCancelled()) return cancelledError();
        if (ret == AVERROR(ENOMEM)) return outOfMemory();
        return exportError(ExportErrorCode::muxFailed, general_texts::notMuxed(job_.source, avErrorText(ret)));
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
    TagPlace tags_ = TagPlace::keys;
    std::vector<Packet> held_;             // by output stream: its packet read last, not yet written
    std::vector<int64_t> packetsWritten_;  // by output stream
    std::vector<int64_t> lastCueEnd_;      // by output stream: where the last timed text sample ends
    bool overlapTold_ = false;
};

}  // namespace

ErrorOr<Remuxed> writeRemux(const ExportJob& job, ExportControl& control, Source& source, std::vector<int> streams,
                            const fs::path& path, const AVOutputFormat* format, TagPlace tags, OutputFile& output)
{
    Remux remux(job, control, source, std::move(streams), path);
    KV_TRY(remux.run(format, tags, output));
    return remux.written();
}

}  // namespace kelvatta
