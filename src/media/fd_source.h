// A file read by offset through its descriptor, its read errors naming it.
#pragma once

#include <fcntl.h>

#include <filesystem>

#include "media/box_reader.h"
#include "media/media_error.h"
#include "platform/sys.h"

namespace kelvatta {

class FdSource final : public ByteSource {
public:
    FdSource(int fd, uint64_t size, const std::filesystem::path& path) : fd_(fd), size_(size), path_(path) {}

    ErrorOr<size_t> readAt(void* buf, size_t len, uint64_t offset) override
    {
        return onFile(sys::readAt(fd_, buf, len, offset), "无法读取文件", path_);
    }
    uint64_t size() const override { return size_; }
    void prefetch(uint64_t offset, uint64_t len) override { (void)sys::fadvise(fd_, offset, len, POSIX_FADV_WILLNEED); }

private:
    int fd_;
    uint64_t size_;
    const std::filesystem::path& path_;
};

}  // namespace kelvatta
