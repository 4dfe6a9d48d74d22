#include "media/general/libav_io.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <limits>

#include "platform/checked.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

// Large enough that a gigabyte passes in about a thousand system calls each way.
constexpr int kBufferSize = 1 << 20;

}  // namespace

std::string avErrorText(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

std::unique_ptr<FdIo> FdIo::make(Mode mode, int fd, uint64_t size, const ExportControl* control)
{
    std::unique_ptr<FdIo> io(new FdIo(mode, fd, size, control));
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer) return nullptr;
    const bool writing = mode != Mode::read;
    io->context_ = avio_alloc_context(buffer, kBufferSize, writing ? 1 : 0, io.get(), writing ? nullptr : readPacket,
                                      writing ? writePacket : nullptr, seek);
    if (!io->context_) {
        av_free(buffer);
        return nullptr;
    }
    return io;
}

FdIo::~FdIo()
{
    if (context_) {
        // libavformat may have replaced the buffer; the context's current one is ours to free.
        av_freep(&context_->buffer);
        avio_context_free(&context_);
    }
}

int FdIo::readPacket(void* opaque, uint8_t* buf, int len)
{
    auto* io = static_cast<FdIo*>(opaque);
    if (io->control_ && io->control_->isCancelled()) return AVERROR_EXIT;
    if (len <= 0 || io->position_ >= io->size_) return AVERROR_EOF;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(len), io->size_ - io->position_));
    auto n = sys::readAt(io->fd_, buf, want, io->position_);
    if (n.isError()) {
        const int err = errnoOf(n.error());
        if (!io->failedErrno_) io->failedErrno_ = err;
        return AVERROR(err);
    }
    if (*n == 0) return AVERROR_EOF;  // the file shrank under us
    io->position_ += *n;
    return static_cast<int>(*n);
}

int FdIo::writePacket(void* opaque, uint8_t* buf, int len)
{
    auto* io = static_cast<FdIo*>(opaque);
    if (io->failedErrno_) return AVERROR(io->failedErrno_);
    if (len < 0) return AVERROR(EINVAL);
    const auto end = checkedAdd<uint64_t>(io->position_, static_cast<uint64_t>(len));
    if (!end) return AVERROR(EFBIG);
    if (io->mode_ == Mode::write) {
        auto written = sys::writeAt(io->fd_, buf, static_cast<size_t>(len), io->position_);
        if (written.isError()) {
            io->failedErrno_ = errnoOf(written.error());
            return AVERROR(io->failedErrno_);
        }
    }
    io->position_ = *end;
    io->size_ = std::max(io->size_, *end);
    return len;
}

int64_t FdIo::seek(void* opaque, int64_t offset, int whence)
{
    auto* io = static_cast<FdIo*>(opaque);
    constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const auto size = static_cast<int64_t>(std::min(io->size_, kMax));
    std::optional<int64_t> target;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = checkedAdd(static_cast<int64_t>(std::min(io->position_, kMax)), offset); break;
    case SEEK_END: target = checkedAdd(size, offset); break;
    default: return AVERROR(EINVAL);
    }
    if (!target || *target < 0) return AVERROR(EINVAL);
    io->position_ = static_cast<uint64_t>(*target);
    return *target;
}

int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

namespace {

int interrupted(void* control) { return static_cast<const ExportControl*>(control)->isCancelled() ? 1 : 0; }

}  // namespace

InputContext openInput(FdIo& io, const AVInputFormat* format, const ExportControl* control)
{
    AVFormatContext* context = avformat_alloc_context();
    if (!context) return nullptr;
    context->pb = io.context();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    context->io_open = refuseNestedOpen;
    if (control) context->interrupt_callback = AVIOInterruptCB{interrupted, const_cast<ExportControl*>(control)};
    AvOptions options;
    // No protocol may be opened from within the clip: without the option, none is opened at all.
    if (!options.set("protocol_whitelist", "none")) {
        avformat_free_context(context);
        return nullptr;
    }
    // A failed open frees the context.
    if (avformat_open_input(&context, "", format, options.get()) < 0) return nullptr;
    return InputContext(context);
}

}  // namespace kelvatta
