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
