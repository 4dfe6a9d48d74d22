#include "media/files/data_copy.h"

#include <algorithm>
#include <cerrno>

#include "media/base/media_error.h"
#include "media/files/file_texts.h"
#include "media/files/output_file.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

// Pieces small enough that cancellation is seen within a fraction of a second.
constexpr uint64_t kClonePiece = 1ull << 30;  // sharing blocks costs little per byte
constexpr uint64_t kKernelPiece = 32ull << 20;
constexpr size_t kBufferSize = 4u << 20;

}  // namespace

bool isUnsupportedCopy(int err) { return err == EOPNOTSUPP || err == EXDEV || err == EINVAL || err == ENOSYS; }

DataCopier::DataCopier(int in, const std::filesystem::path& source, int out, const std::filesystem::path& output,
                       uint64_t sourceSize, uint64_t totalBytes, uint64_t outputSize, ExportControl& control)
    : in_(in), out_(out), source_(source), output_(output), sourceSize_(sourceSize), total_(totalBytes),
      outputSize_(outputSize), control_(control)
{
}

DataCopier::~DataCopier() = default;

Error DataCopier::shrank() const { return damaged(Damage::fileShrank, file_texts::shrankWhileExported(source_)); }

ErrorOr<void> DataCopier::advance(uint64_t bytes, uint64_t reached)
{
    if (pieceDone_) KV_TRY(pieceDone_(reached));
    done_ += bytes;
    if (total_ > 0) control_.setProgress(std::min(0.99, double(done_) / double(total_)));
    if (control_.isCancelled()) return cancelledError();
    return {};
}

ErrorOr<void> DataCopier::stopCloning(Method next)
{
    method_ = next;
    auto reserved = sys::fallocate(out_, 0, outputSize_);
    // A file system that cannot reserve blocks just copies; a full disk (or any other failure) ends
    // the export here.
    if (reserved.isError() && !isUnsupportedCopy(errnoOf(reserved.error())))
        return fileError(FileAction::write, output_, errnoOf(reserved.error()));
    return {};
}

ErrorOr<void> DataCopier::copy(uint64_t in, uint64_t out, uint64_t len)
{
    if (control_.isCancelled()) return cancelledError();
    if (method_ == Method::clone && in % kBlockSize == out % kBlockSize && len > 0) {
        // Clone the whole blocks; the partial block at each end is copied. A range that runs to the
        // source's end may clone its last partial block too.
        const uint64_t end = in + len;
        const uint64_t first = std::min(end, in + (kBlockSize - in % kBlockSize) % kBlockSize);
        const uint64_t last = end == sourceSize_ ? end : end - end % kBlockSize;
        if (first < last) {
            KV_TRY(copyData(in, out, first - in));
            KV_TRY(cloneOrCopy(first, out + (first - in), last - first));
            return copyData(last, out + (last - in), end - last);
        }
    }
    return copyData(in, out, len);
}

ErrorOr<void> DataCopier::cloneOrCopy(uint64_t in, uint64_t out, uint64_t len)
{
    while (len > 0 && method_ == Method::clone) {
        const uint64_t piece = std::min(len, kClonePiece);
        auto cloned = sys::cloneRange(in_, in, out_, out, piece);
        if (cloned.isError()) {
            if (!isUnsupportedCopy(errnoOf(cloned.error())))
                return fileError(FileAction::copyDataTo, output_, errnoOf(cloned.error()));
            KV_TRY(stopCloning(Method::copyFileRange));
            break;
        }
        cloned_ += piece;
        in += piece;
        out += piece;
        len -= piece;
        KV_TRY(advance(piece, out));
    }
    return copyData(in, out, len);
}

ErrorOr<void> DataCopier::copyData(uint64_t in, uint64_t out, uint64_t len)
{
    if (method_ != Method::readWrite) KV_TRY(copyByKernel(in, out, len));
    return copyByBuffer(in, out, len);
}

// Copies until done or until copy_file_range turns out unsupported (then in, out and len tell what
// is left for the buffer).
ErrorOr<void> DataCopier::copyByKernel(uint64_t& in, uint64_t& out, uint64_t& len)
{
    while (len > 0) {
        auto n = sys::copyFileRange(in_, in, out_, out, static_cast<size_t>(std::min(len, kKernelPiece)));
        if (n.isError()) {
            if (!isUnsupportedCopy(errnoOf(n.error())))
                return fileError(FileAction::copyDataTo, output_, errnoOf(n.error()));
            method_ = Method::readWrite;
            return {};
        }
        if (*n == 0) return shrank();
        in += *n;
        out += *n;
        len -= *n;
        KV_TRY(advance(*n, out));
    }
    return {};
}

ErrorOr<void> DataCopier::copyByBuffer(uint64_t in, uint64_t out, uint64_t len)
{
    if (len > 0 && !buffer_) buffer_ = std::make_unique<uint8_t[]>(kBufferSize);
    while (len > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(len, kBufferSize));
        if (KV_TRY(onFile(sys::readAt(in_, buffer_.get(), piece, in), FileAction::read, source_)) != piece)
            return shrank();
        KV_TRY(onFile(sys::writeAt(out_, buffer_.get(), piece, out), FileAction::write, output_));
        in += piece;
        out += piece;
        len -= piece;
        KV_TRY(advance(piece, out));
    }
    return {};
}

}  // namespace kelvatta
