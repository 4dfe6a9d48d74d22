// Has the disk write an output's finished part while the rest is still being copied. A copy by
// hand (cp, then a flush) first fills the page cache with the whole clip and only then waits while
// the disk writes it all; here the disk starts on each piece a piece behind the copy, so the flush
// at the end waits for the last pieces only. It makes nothing durable: the flush still does, and
// still comes before the file is read back and named.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/error.h"

namespace kelvatta {

class WriteBehind {
public:
    // fd stays owned by the caller; path names the file in errors. Without durable (a benchmark that
    // compares with tools that do not flush), the disk is left alone.
    WriteBehind(int fd, const std::filesystem::path& path, bool durable) : fd_(fd), path_(path), asking_(durable) {}

    // Every byte before end is written and will not be written again: the disk is asked to start
    // writing those a piece behind end, once a piece of them waits. A failed write (EIO, ENOSPC) fails
    // the export now; a file system that cannot be asked is left to the flush.
    ErrorOr<void> reached(uint64_t end);

private:
    int fd_;
    const std::filesystem::path& path_;
    uint64_t started_ = 0;  // the disk was asked for everything before this
    bool asking_;
};

}  // namespace kelvatta
