// A file or a buffer read by offset: what the box readers read from, where the boxes are too large
// to hold in memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "media/base/bytes.h"
#include "platform/error.h"

namespace kelvatta {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to len bytes at offset; fewer only at the end.
    virtual ErrorOr<size_t> readAt(void* buf, size_t len, uint64_t offset) = 0;
    virtual uint64_t size() const = 0;
    // Says that len bytes at offset will be read soon, so that many small reads scattered over a
    // large file are asked of the disk at once rather than one after another.
    virtual void prefetch(uint64_t offset, uint64_t len) { (void)offset, (void)len; }
};

// Many small ranges of a source asked for ahead, in increasing order, as fewer larger ones: a range
// that starts at most kHole bytes after the one before joins it, up to kMost bytes in all, since
// reading a short hole costs a disk (and a virtual machine) less than another request. Linux reads
// ahead no more than its read-ahead size of one range asked for (128 KiB by default): the rest of a
// larger one would be read a page at a time when it is read. What is left is asked for at the end.
class Prefetch {
public:
    static constexpr uint64_t kHole = 16 << 10;
    static constexpr uint64_t kMost = 128 << 10;

    explicit Prefetch(ByteSource& source) : source_(source) {}
    ~Prefetch() { flush(); }
    Prefetch(const Prefetch&) = delete;
    Prefetch& operator=(const Prefetch&) = delete;

    void add(uint64_t offset, uint64_t len)
    {
        if (len_ > 0 && offset >= start_ && offset - start_ <= len_ + kHole && offset - start_ + len <= kMost) {
            len_ = std::max(len_, offset - start_ + len);  // offset - start_ <= len_ + kHole: no overflow
            return;
        }
        flush();
        start_ = offset;
        len_ = len;
    }
    void flush()
    {
        if (len_ > 0) source_.prefetch(start_, len_);
        len_ = 0;
    }

private:
    ByteSource& source_;
    uint64_t start_ = 0, len_ = 0;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(ByteSpan bytes) : bytes_(bytes) {}
    ErrorOr<size_t> readAt(void* buf, size_t len, uint64_t offset) override
    {
        if (offset >= bytes_.size()) return size_t{0};
        const size_t n = static_cast<size_t>(std::min<uint64_t>(len, bytes_.size() - offset));
        std::memcpy(buf, bytes_.data() + offset, n);
        return n;
    }
    uint64_t size() const override { return bytes_.size(); }

private:
    ByteSpan bytes_;
};

}  // namespace kelvatta
