// libavformat's side of the general export path: contexts that close themselves, and byte I/O over
// file descriptors that we open ourselves, so libavformat never opens, creates or truncates a file
// and every read and write passes the program's system-call wrappers.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <memory>
#include <string>

#include "media/base/export_job.h"

namespace kelvatta {

struct InputContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using InputContext = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using OutputContext = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

// Options handed to libavformat; frees what libavformat left unused.
class AvOptions {
public:
    AvOptions() = default;
    AvOptions(const AvOptions&) = delete;
    AvOptions& operator=(const AvOptions&) = delete;
    ~AvOptions() { av_dict_free(&dict_); }

    // False where libavutil could not store it (out of memory): the option would not hold.
    [[nodiscard]] bool set(const char* key, const char* value) { return av_dict_set(&dict_, key, value, 0) >= 0; }
    AVDictionary** get() { return &dict_; }

private:
    AVDictionary* dict_ = nullptr;
};

// libavformat's text for an AVERROR code (English).
std::string avErrorText(int err);

// An AVIOContext over a file descriptor. Reads go through sys::readAt and writes through sys::writeAt
// at a position of its own, so the descriptor's file offset is never used. The first failed system
// call is remembered with its errno: libavformat turns I/O errors into codes of its own or drops
// them, the export reports this one.
class FdIo {
public:
    enum class Mode {
        read,     // the file's first size bytes
        write,    // from offset 0, growing the file
        discard,  // accepts writes and seeks and keeps nothing (to try a muxer's settings)
    };

    // nullptr when libavformat cannot allocate the context. While reading, control's cancellation
    // makes the next read fail with AVERROR_EXIT, so long probes stop too.
    static std::unique_ptr<FdIo> make(Mode mode, int fd, uint64_t size = 0, const ExportControl* control = nullptr);

    FdIo(const FdIo&) = delete;
    FdIo& operator=(const FdIo&) = delete;
    ~FdIo();

    AVIOContext* context() const { return context_; }
    // Where the next read or write of the callbacks goes (libavformat buffers in front of it).
    uint64_t position() const { return position_; }
    // The file's size: as given for reading, the highest offset written for writing.
    uint64_t size() const { return size_; }
    // errno of the first failed read or write, or 0.
    int failedErrno() const { return failedErrno_; }

private:
    FdIo(Mode mode, int fd, uint64_t size, const ExportControl* control)
        : mode_(mode), fd_(fd), size_(size), control_(control)
    {
    }

    static int readPacket(void* opaque, uint8_t* buf, int len);
    static int writePacket(void* opaque, uint8_t* buf, int len);
    static int64_t seek(void* opaque, int64_t offset, int whence);

    Mode mode_;
    int fd_;
    uint64_t size_;
    const ExportControl* control_;
    uint64_t position_ = 0;
    int failedErrno_ = 0;
    AVIOContext* context_ = nullptr;
};

// Opens the file behind io for demuxing, reading through io alone. There is no file name: the
// content decides the format, unless format is given. Nested files (playlists, concatenation
// lists, external data references) and network protocols (SDP, RTSP) are refused, so a source
// never makes libavformat read anything but itself. control, when given, interrupts long probes.
// nullptr when libavformat cannot open it (the caller asks io why).
InputContext openInput(FdIo& io, const AVInputFormat* format, const ExportControl* control);

// For output contexts: an io_open callback that refuses every file and address.
int refuseNestedOpen(AVFormatContext* context, AVIOContext** pb, const char* url, int flags, AVDictionary** options);

}  // namespace kelvatta
