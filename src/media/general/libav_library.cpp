#include "media/general/libav_library.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "media/base/media_error.h"
#include "media/general/general_texts.h"

namespace kelvatta {

namespace {

// The libraries of the major versions whose headers the program was built with.
constexpr const char* kAvformat = "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR);
constexpr const char* kAvcodec = "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR);

struct Loaded {
    void* avformat = nullptr;  // libavcodec is among its dependencies: its symbols are found through it
    ErrorOr<void> outcome;
};

const Loaded& loaded()
{
    static Loaded once = [] {
        Loaded result;
        for (const char* name : {kAvcodec, kAvformat}) {
            // Local: the libraries' symbols are looked up through the handle only, and never take
            // the place of another library's.
            void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                const char* why = dlerror();
                result.outcome = unsupported(general_texts::libraryNotLoaded(name, why));
                return result;
            }
            result.avformat = handle;
        }
        return result;
    }();
    return once;
}

// The function called name in the loaded libraries; nullptr where they could not be loaded.
void* symbol(const char* name)
{
    const Loaded& libraries = loaded();
    return libraries.avformat ? dlsym(libraries.avformat, name) : nullptr;
}

}  // namespace

ErrorOr<void> loadLibav() { return loaded().outcome; }

}  // namespace kelvatta

// Each function the program calls, with the prototype of its header: the first call looks the
// library's function up and every call hands on to it. Where the libraries could not be loaded (the
// ways into libavformat have said so with loadLibav's error), a call fails as the function fails:
// with an error code, a null pointer, nothing found.
#define KV_LIBAV(result, name, parameters, arguments, failed)                                   \
    result name parameters                                                                      \
    {                                                                                           \
        static const auto library = reinterpret_cast<decltype(&name)>(kelvatta::symbol(#name)); \
        if (!library) return failed;                                                            \
        return library arguments;                                                               \
    }

// libavformat
KV_LIBAV(AVFormatContext*, avformat_alloc_context, (), (), nullptr)
KV_LIBAV(int, avformat_open_input,
         (AVFormatContext * *context, const char* url, const AVInputFormat* format, AVDictionary** options),
         (context, url, format, options), AVERROR(ENOSYS))
KV_LIBAV(int, avformat_find_stream_info, (AVFormatContext * context, AVDictionary** options), (context, options),
         AVERROR(ENOSYS))
KV_LIBAV(void, avformat_close_input, (AVFormatContext * *context), (context), )
KV_LIBAV(void, avformat_free_context, (AVFormatContext * context), (context), )
KV_LIBAV(int, avformat_alloc_output_context2,
         (AVFormatContext * *context, const AVOutputFormat* format, const char* formatName, const char* filename),
         (context, format, formatName, filename), AVERROR(ENOSYS))
KV_LIBAV(AVStream*, avformat_new_stream, (AVFormatContext * context, const AVCodec* codec), (context, codec), nullptr)
KV_LIBAV(int, avformat_init_output, (AVFormatContext * context, AVDictionary** options), (context, options),
         AVERROR(ENOSYS))
KV_LIBAV(int, avformat_write_header, (AVFormatContext * context, AVDictionary** options), (context, options),
         AVERROR(ENOSYS))
KV_LIBAV(int, av_interleaved_write_frame, (AVFormatContext * context, AVPacket* packet), (context, packet),
         AVERROR(ENOSYS))
KV_LIBAV(int, av_write_trailer, (AVFormatContext * context), (context), AVERROR(ENOSYS))
KV_LIBAV(int, av_read_frame, (AVFormatContext * context, AVPacket* packet), (context, packet), AVERROR(ENOSYS))
KV_LIBAV(int, av_seek_frame, (AVFormatContext * context, int stream, int64_t timestamp, int flags),
         (context, stream, timestamp, flags), AVERROR(ENOSYS))
KV_LIBAV(const AVInputFormat*, av_find_input_format, (const char* name), (name), nullptr)
KV_LIBAV(const AVOutputFormat*, av_guess_format, (const char* name, const char* filename, const char* mimeType),
         (name, filename, mimeType), nullptr)
KV_LIBAV(enum AVCodecID, av_codec_get_id, (const struct AVCodecTag* const* tags, unsigned int tag), (tags, tag),
         AV_CODEC_ID_NONE)
KV_LIBAV(int, av_codec_get_tag2, (const struct AVCodecTag* const* tags, enum AVCodecID id, unsigned int* tag),
         (tags, id, tag), 0)
KV_LIBAV(uint8_t*, av_stream_new_side_data, (AVStream * stream, enum AVPacketSideDataType type, size_t size),
         (stream, type, size), nullptr)
KV_LIBAV(int, avformat_index_get_entries_count, (const AVStream* stream), (stream), 0)
KV_LIBAV(const AVIndexEntry*, avformat_index_get_entry, (AVStream * stream, int index), (stream, index), nullptr)
KV_LIBAV(AVIOContext*, avio_alloc_context,
         (unsigned char* buffer, int size, int writing, void* opaque, int (*read)(void*, uint8_t*, int),
          int (*write)(void*, uint8_t*, int), int64_t (*seek)(void*, int64_t, int)),
         (buffer, size, writing, opaque, read, write, seek), nullptr)
KV_LIBAV(void, avio_context_free, (AVIOContext * *context), (context), )

// libavcodec
KV_LIBAV(AVPacket*, av_packet_alloc, (), (), nullptr)
KV_LIBAV(void, av_packet_free, (AVPacket * *packet), (packet), )
KV_LIBAV(int, av_new_packet, (AVPacket * packet, int size), (packet, size), AVERROR(ENOSYS))
KV_LIBAV(void, av_packet_unref, (AVPacket * packet), (packet), )
KV_LIBAV(void, av_packet_move_ref, (AVPacket * to, AVPacket* from), (to, from), )
KV_LIBAV(int, av_packet_copy_props, (AVPacket * to, const AVPacket* from), (to, from), AVERROR(ENOSYS))
KV_LIBAV(const char*, avcodec_get_name, (enum AVCodecID id), (id), "unknown_codec")
KV_LIBAV(int, avcodec_parameters_copy, (AVCodecParameters * to, const AVCodecParameters* from), (to, from),
         AVERROR(ENOSYS))
KV_LIBAV(int, av_get_audio_frame_duration2, (AVCodecParameters * parameters, int bytes), (parameters, bytes), 0)
