#include "media/files/write_behind.h"

#include <cerrno>

#include "media/base/media_error.h"
#include "media/files/data_copy.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

// How far behind the copy the disk is asked to write, and how much at a time. On ext4 (2 GB clip,
// 32 MiB copy pieces), starting a piece behind the copy beat starting each piece as soon as it was
// copied, and both beat leaving it all to the flush.
constexpr uint64_t kPiece = 32ull << 20;

}  // namespace

ErrorOr<void> WriteBehind::reached(uint64_t end)
{
    if (!asking_ || end < started_ + 2 * kPiece) return {};
    const uint64_t upTo = (end - kPiece) / kBlockSize * kBlockSize;
    auto started = sys::startWriteback(fd_, started_, upTo - started_);
    if (started.isError()) {
        const int err = errnoOf(started.error());
        if (!isUnsupportedCopy(err) && err != ESPIPE) return fileError(FileAction::write, path_, err);
        asking_ = false;
        return {};
    }
    started_ = upTo;
    return {};
}

}  // namespace kelvatta
