#include "media/general/general_earlier.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <optional>
#include <string_view>

#include "media/base/media_error.h"
#include "media/files/fd_source.h"
#include "media/general/general_chapters.h"
#include "media/general/general_start.h"
#include "media/general/general_streams.h"
#include "media/general/general_tags.h"
#include "media/general/libav_io.h"
#include "media/plan/earlier_result.h"
#include "platform/checked.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;
using Kind = CopyDifference::Kind;

// Each stream's data compared at its start and at its end, and what of the clip is read from its
// start at most to find them (a stream that starts later is compared at its end only).
constexpr uint64_t kEdgeBytes = 1u << 20;
constexpr uint64_t kMaxStartBytes = 64u << 20;
// The end of the clip read: from its last seconds.
constexpr int64_t kEndSeconds = 2;

// The tracks: the carried streams in order, each of its kind and as long within half a second (a
// container's durations are not the sum of a track's samples; subtitles are as long as their last
// cue), then the timecode tracks and, where the clip has chapters, the chapters' text track.
FoundDifference tracksDifference(const AVFormatContext* input, const std::vector<int>& streams, const Movie& copy)
{
    const auto seconds = [](int64_t duration, AVRational base) { return static_cast<double>(duration) * av_q2d(base); };
    if (copy.tracks.size() < streams.size()) return differs(Kind::otherTracks);
    for (size_t k = 0; k < copy.tracks.size(); ++k) {
        const Track& track = copy.tracks[k];
        if (k >= streams.size()) {
            const bool chapters = input->nb_chapters > 0 && track.handler == fourcc("text");
            if (track.handler != fourcc("tmcd") && !chapters) return differs(Kind::otherTracks);
            continue;
        }
        const AVStream* stream = input->streams[streams[k]];
        const AVMediaType type = stream->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_SUBTITLE) {
            if (track.handler == fourcc("vide") || track.handler == fourcc("soun") || track.handler == fourcc("tmcd"))
                return differs(Kind::otherTracks);
            continue;
        }
        if (track.handler != (type == AVMEDIA_TYPE_VIDEO ? fourcc("vide") : fourcc("soun")))
            return differs(Kind::otherTracks);
        const double source = stream->duration != AV_NOPTS_VALUE  ? seconds(stream->duration, stream->time_base)
                              : input->duration != AV_NOPTS_VALUE ? seconds(input->duration, AV_TIME_BASE_Q)
                                                                  : -1;
        const double copied = track.mediaTimescale == 0 ? -1
                                                        : static_cast<double>(track.sampleDuration) /
                                                              static_cast<double>(track.mediaTimescale);
        if (source < 0 || copied < 0 || std::abs(copied - source) > 0.5) return differsIn(Kind::trackSamples, k);
    }
    return {};
}

// Whether a stream's packets hold H.264 or HEVC in Annex B form (start codes, as MPEG-TS and AVI carry
// them), which the muxer writes as NAL units with 4-byte lengths and a decoder configuration of its
// own making.
bool isAnnexB(const AVCodecParameters* par)
{
    const bool nal = par->codec_id == AV_CODEC_ID_H264 || par->codec_id == AV_CODEC_ID_HEVC;
    const ByteSpan config(par->extradata, static_cast<size_t>(std::max(par->extradata_size, 0)));
    const auto startsWith = [&](std::initializer_list<uint8_t> code) {
        return config.size() >= code.size() && std::equal(code.begin(), code.end(), config.begin());
    };
    return nal && (startsWith({0, 0, 1}) || startsWith({0, 0, 0, 1}));
}

// Where the next start code (00 00 01) begins at or after from, a zero before it included (a 4-byte
// code); the end where there is none.
size_t startCode(ByteSpan bytes, size_t from)
{
    for (size_t i = from; i + 3 <= bytes.size(); ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) return i > from && bytes[i - 1] == 0 ? i - 1 : i;
    }
    return bytes.size();
}

// A packet's bytes as the muxer writes them as a sample: Annex B NAL units each behind its 4-byte
// length (the zeros and the 1 of a start code dropped), AAC without its ADTS header (7 bytes, 9 with
// a CRC); others as they are.
ByteSpan asSample(const AVCodecParameters* par, ByteSpan packet, Bytes& scratch)
{
    if (par->codec_id == AV_CODEC_ID_AAC && packet.size() > 2 && (loadU16(packet.data()) & 0xfff0) == 0xfff0) {
        const size_t header = (packet[1] & 1) ? 7 : 9;
        return packet.size() > header ? packet.subspan(header) : ByteSpan();
    }
    if (!isAnnexB(par)) return packet;
    scratch.clear();
    for (size_t at = startCode(packet, 0); at < packet.size();) {
        while (at < packet.size() && packet[at++] == 0) {
        }
        if (at >= packet.size()) break;
        const size_t end = startCode(packet, at);
        uint8_t length[4];
        storeU32(length, static_cast<uint32_t>(end - at));
        scratch.insert(scratch.end(), length, length + 4);
        scratch.insert(scratch.end(), packet.begin() + static_cast<std::ptrdiff_t>(at),
                       packet.begin() + static_cast<std::ptrdiff_t>(end));
        at = end;
    }
    return scratch;
}

// Each copied stream's codec and its decoder configuration (where the copy holds the source's: not
// for Annex B nor ADTS, whose the muxer makes), and the tags the path gives its track (its title is
// its handler's name; a video's encoder, the compressor name, holds 31 bytes).
ErrorOr<FoundDifference> streamsDifference(const AVFormatContext* input, const std::vector<int>& streams,
                                           const AVFormatContext* copy)
{
    if (copy->nb_streams < streams.size()) return differs(Kind::otherTracks);
    OutputContext scratch(avformat_alloc_context());
    if (!scratch) return outOfMemory();
    for (size_t k = 0; k < streams.size(); ++k) {
        const AVCodecParameters* in = input->streams[streams[k]]->codecpar;
        const AVCodecParameters* out = copy->streams[k]->codecpar;
        if (out->codec_id != outputCodec(in)) return differsIn(Kind::trackMetadata, k);
        const ByteSpan config(in->extradata, static_cast<size_t>(std::max(in->extradata_size, 0)));
        const ByteSpan copied(out->extradata, static_cast<size_t>(std::max(out->extradata_size, 0)));
        if (!copied.empty() && !config.empty() && !isAnnexB(in) && !std::ranges::equal(config, copied))
            return differsIn(Kind::trackMetadata, k);
        AVStream* expected = avformat_new_stream(scratch.get(), nullptr);
        if (!expected) return outOfMemory();
        KV_TRY(copyStreamTags(expected, input->streams[streams[k]]));
        for (const AVDictionaryEntry* tag = nullptr;
             (tag = av_dict_get(expected->metadata, "", tag, AV_DICT_IGNORE_SUFFIX));) {
            if (sameKey(tag->key, "title")) continue;
            const std::string_view value(tag->value);
            const AVDictionaryEntry* held = av_dict_get(copy->streams[k]->metadata, tag->key, nullptr, 0);
            if (!held || std::string_view(held->value) != (sameKey(tag->key, "encoder") ? value.substr(0, 31) : value))
                return differsIn(Kind::trackMetadata, k);
        }
    }
    return FoundDifference();
}

// The movie's tags: those the path writes from the clip's and the job's items, and none else (but
// the brands of the copy's own ftyp); its chapters: the clip's that mark a point of it, by title.
ErrorOr<FoundDifference> movieDifference(const ExportJob& job, const AVFormatContext* input,
                                         const AVFormatContext* copy)
{
    AvOptions expected;
    KV_TRY(copyContainerTags(expected.get(), input->metadata, job.metadata));
    for (const MetadataItem& item : generalItems(job.metadata))
        if (!expected.set(item.identifier.substr(kMdtaPrefix.size()).c_str(), item.value.c_str())) return outOfMemory();
    // Read back by name, the encoder is one whether the copy keeps it as ©swr or as an item (©too).
    for (const UserDataText& text : userDataTexts(input->metadata, TagPlace::keys))
        if (!expected.set(text.type == fourcc("\xA9xyz") ? "location" : "encoder", text.text.c_str()))
            return outOfMemory();
    const AVDictionary* wanted = *expected.get();
    for (const AVDictionaryEntry* tag = nullptr; (tag = av_dict_get(wanted, "", tag, AV_DICT_IGNORE_SUFFIX));) {
        const AVDictionaryEntry* copied = av_dict_get(copy->metadata, tag->key, nullptr, 0);
        if (!copied || std::strcmp(copied->value, tag->value) != 0) return differs(Kind::movieMetadata);
    }
    for (const AVDictionaryEntry* tag = nullptr; (tag = av_dict_get(copy->metadata, "", tag, AV_DICT_IGNORE_SUFFIX));) {
        const std::string key(baseKey(tag->key));
        if (sameKey(key, "major_brand") || sameKey(key, "minor_version") || sameKey(key, "compatible_brands")) continue;
        const AVDictionaryEntry* own = av_dict_get(wanted, key.c_str(), nullptr, 0);
        if (!own || std::strcmp(own->value, tag->value) != 0) return differs(Kind::movieMetadata);
    }
    std::vector<std::string> titles;
    const auto title = [](const AVChapter* chapter) {
        const AVDictionaryEntry* entry = av_dict_get(chapter->metadata, "title", nullptr, 0);
        return std::string(entry ? entry->value : "");
    };
    for (unsigned i = 0; i < input->nb_chapters; ++i)
        if (chapterKept(input, input->chapters[i])) titles.push_back(title(input->chapters[i]));
    if (titles.size() != copy->nb_chapters) return differs(Kind::movieMetadata);
    for (unsigned i = 0; i < copy->nb_chapters; ++i)
        if (title(copy->chapters[i]) != titles[i]) return differs(Kind::movieMetadata);
    return FoundDifference();
}

// The bytes of a track's samples one after another, as its chunks lay them out in the copy: the
// chunks that hold its first and its last kEdgeBytes, read where asked.
class SampleRun {
public:
    static ErrorOr<SampleRun> of(const Movie& movie, const Track& track)
    {
        SampleRun run;
        std::deque<Piece> last;
        KV_TRY(visitChunks(movie, track, [&](const ChunkRange& chunk) -> ErrorOr<void> {
            const Piece piece{run.size_, chunk};
            if (piece.position < kEdgeBytes) run.pieces_.push_back(piece);
            last.push_back(piece);
            run.size_ = checkedAdd(run.size_, chunk.size).value_or(UINT64_MAX);
            while (last.size() > 1 && run.size_ - last[1].position >= kEdgeBytes) last.pop_front();
            return {};
        }));
        for (const Piece& piece : last)
            if (run.pieces_.empty() || piece.position > run.pieces_.back().position) run.pieces_.push_back(piece);
        return run;
    }

    uint64_t size() const { return size_; }

    // Whether the copy holds bytes at position at of the run, which the pieces kept must cover.
    ErrorOr<bool> holds(ByteSource& copy, uint64_t at, ByteSpan bytes) const
    {
        uint64_t covered = 0;
        Bytes held;
        for (const Piece& piece : pieces_) {
            const uint64_t from = std::max(at, piece.position);
            const uint64_t to =
                std::min(at + bytes.size(), checkedAdd(piece.position, piece.chunk.size).value_or(UINT64_MAX));
            if (from >= to) continue;
            const auto offset = checkedAdd(piece.chunk.offset, from - piece.position);
            held.resize(to - from);
            if (!offset || KV_TRY(copy.readAt(held.data(), held.size(), *offset)) != held.size() ||
                !std::equal(held.begin(), held.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from - at)))
                return false;
            covered += to - from;
        }
        return covered == bytes.size();
    }

private:
    struct Piece {
        uint64_t position = 0;  // in the run
        ChunkRange chunk;
    };

    std::vector<Piece> pieces_;
    uint64_t size_ = 0;
};

// Reads the clip's packets, its errors told as the export tells them.
class PacketReader {
public:
    PacketReader(const ExportJob& job, const ExportControl& control, Source& source)
        : job_(job), control_(control), source_(source), packet_(av_packet_alloc())
    {
    }

    // The next packet; nothing at the end.
    ErrorOr<const AVPacket*> next()
    {
        if (!packet_) return outOfMemory();
        av_packet_unref(packet_.get());
        if (control_.isCancelled()) return cancelledError();
        const int ret = av_read_frame(source_.context.get(), packet_.get());
        if (ret == AVERROR_EOF && !source_.io->failedErrno()) return static_cast<const AVPacket*>(nullptr);
        if (ret < 0) return sourceReadError(source_, job_, control_, ret);
        return static_cast<const AVPacket*>(packet_.get());
    }

private:
    const ExportJob& job_;
    const ExportControl& control_;
    Source& source_;
    Packet packet_;
};

// Each stream's first and last kEdgeBytes as the clip's demuxer reads its packets, against the
// copy's samples.
ErrorOr<FoundDifference> dataDifference(const ExportJob& job, const ExportControl& control, Source& source,
                                        const std::vector<int>& streams, const Movie& movie, ByteSource& copy)
{
    AVFormatContext* input = source.context.get();
    std::vector<SampleRun> runs;
    std::vector<int> compared(input->nb_streams, -1);  // by source stream: its track, where compared
    for (size_t k = 0; k < streams.size(); ++k) {
        runs.push_back(KV_TRY(SampleRun::of(movie, movie.tracks[k])));
        if (!becomesTimedText(input->streams[streams[k]]->codecpar))
            compared[static_cast<size_t>(streams[k])] = static_cast<int>(k);
    }
    const auto trackOf = [&](const AVPacket* packet) {
        return packet->stream_index >= 0 && static_cast<unsigned>(packet->stream_index) < compared.size()
                   ? compared[static_cast<size_t>(packet->stream_index)]
                   : -1;
    };
    const auto parameters = [&](int k) { return input->streams[streams[static_cast<size_t>(k)]]->codecpar; };
    const auto bytesOf = [](const AVPacket* packet) {
        return ByteSpan(packet->data, static_cast<size_t>(std::max(packet->size, 0)));
    };
    PacketReader reader(job, control, source);

    // From the start, until each stream's first kEdgeBytes are compared.
    std::vector<uint64_t> done(streams.size(), 0);
    const auto startDone = [&] {
        for (size_t k = 0; k < streams.size(); ++k)
            if (compared[static_cast<size_t>(streams[k])] >= 0 && done[k] < std::min(kEdgeBytes, runs[k].size()))
                return false;
        return true;
    };
    Bytes scratch;
    for (uint64_t read = 0; read < kMaxStartBytes && !startDone();) {
        const AVPacket* packet = KV_TRY(reader.next());
        if (!packet) break;
        read += static_cast<uint64_t>(packet->size);
        const int k = trackOf(packet);
        if (k < 0 || done[static_cast<size_t>(k)] >= kEdgeBytes) continue;
        const size_t track = static_cast<size_t>(k);
        const ByteSpan sample = asSample(parameters(k), bytesOf(packet), scratch);
        const size_t n = std::min<uint64_t>(sample.size(), kEdgeBytes - done[track]);
        if (!KV_TRY(runs[track].holds(copy, done[track], sample.first(n)))) return differsIn(Kind::trackSamples, track);
        done[track] += n;
    }

    // To the end, from its last seconds where the clip can be sought (what follows a seek is the end
    // of each stream), else on from where the start ended.
    if (input->duration != AV_NOPTS_VALUE) {
        const int64_t start = input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
        const auto end = checkedAdd(start, input->duration);
        if (end)
            (void)av_seek_frame(input, -1, *end - std::min(*end, kEndSeconds * AV_TIME_BASE), AVSEEK_FLAG_BACKWARD);
    }
    std::vector<Bytes> tails(streams.size());
    while (const AVPacket* packet = KV_TRY(reader.next())) {
        const int k = trackOf(packet);
        if (k < 0) continue;
        Bytes& tail = tails[static_cast<size_t>(k)];
        const ByteSpan sample = asSample(parameters(k), bytesOf(packet), scratch);
        tail.insert(tail.end(), sample.begin(), sample.end());
        if (tail.size() > 2 * kEdgeBytes)
            tail.erase(tail.begin(), tail.end() - static_cast<std::ptrdiff_t>(kEdgeBytes));
    }
    for (size_t k = 0; k < streams.size(); ++k) {
        const size_t n = std::min<size_t>(tails[k].size(), kEdgeBytes);
        if (n == 0) continue;
        if (n > runs[k].size() || !KV_TRY(runs[k].holds(copy, runs[k].size() - n, ByteSpan(tails[k]).last(n))))
            return differsIn(Kind::trackSamples, k);
    }
    return FoundDifference();
}

// What of the general path's result the file at path does not hold (see keepGeneralEarlierResult);
// nothing where it holds it all.
ErrorOr<FoundDifference> proveGeneralResult(const ExportJob& job, const ExportControl& control,
                                            const FileAtOutput& file, const fs::path& path, Source& source,
                                            const std::vector<int>& streams)
{
    const Movie& movie = file.content.movie;
    const auto size = static_cast<uint64_t>(file.status.st_size);
    FdSource copy(file.fd.get(), size, path);
    auto plan = planOutput({movie, file.content.topLevel, copy}, job.metadata);
    if (notReadAsMovie(plan)) return differs(Kind::notAVideo);
    if (plan.isError()) return plan.releaseError();
    if (!plan->readsStart) return differs(Kind::otherStart);
    const std::vector<Box>& top = file.content.topLevel;
    const bool muxersLayout = top.front().type == fourcc("ftyp") && top.back().type == fourcc("moov") &&
                              std::ranges::all_of(top, [](const Box& box) {
                                  return box.type == fourcc("ftyp") || box.type == fourcc("free") ||
                                         box.type == fourcc("wide") || box.type == fourcc("mdat") ||
                                         box.type == fourcc("moov");
                              });
    if (!muxersLayout) return differs(Kind::movieMetadata);
    const AVFormatContext* input = source.context.get();
    if (const FoundDifference found = tracksDifference(input, streams, movie)) return found;

    // As libavformat reads the copy, and the clip.
    auto io = FdIo::make(FdIo::Mode::read, file.fd.get(), size);
    if (!io) return outOfMemory();
    const InputContext output = openInput(*io, av_find_input_format("mov"), nullptr);
    if (int err = io->failedErrno()) return fileError(FileAction::read, path, err);
    if (!output) return differs(Kind::notAVideo);
    if (const FoundDifference found = KV_TRY(streamsDifference(input, streams, output.get()))) return found;
    if (const FoundDifference found = KV_TRY(movieDifference(job, input, output.get()))) return found;
    return dataDifference(job, control, source, streams, movie, copy);
}

}  // namespace

ErrorOr<bool> keepGeneralEarlierResult(const ExportJob& job, const ExportControl& control, const fs::path& path,
                                       Source& source, const std::vector<int>& streams)
{
    return keepEarlierResult(job, path, [&](const FileAtOutput& file) {
        return proveGeneralResult(job, control, file, path, source, streams);
    });
}

}  // namespace kelvatta
