// The file an export writes: created exclusively (an existing file or link at the path is refused,
// never followed or overwritten), removed again unless the export commits it.
#pragma once

#include <sys/stat.h>

#include <filesystem>

#include "platform/error.h"
#include "platform/fd.h"

namespace kelvatta {

class OutputFile {
public:
    // Creates path with O_CREAT|O_EXCL for reading and writing. An existing item gives the error
    // "目标文件已存在：" + its name.
    static ErrorOr<OutputFile> create(const std::filesystem::path& path);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    // Removes the file unless committed.
    ~OutputFile();

    int fd() const { return fd_.get(); }
    const std::filesystem::path& path() const { return path_; }

    // Flushes what has been written to disk (fsync), so what is read back next is what stays.
    ErrorOr<void> flush();

    // Gives the file the source's permission bits and times, flushes it (with its directory entry)
    // and closes it. Afterwards the file stays. On failure it is removed when this object goes.
    // durable = false leaves out the flushes (benchmarks compare with tools that do not flush).
    ErrorOr<void> commit(const struct stat& source, bool durable = true);

    // Removes the file now (also when it failed to commit), if the path still names the file this
    // object created: whatever another program put there since is left alone.
    void discard();

private:
    OutputFile(std::filesystem::path path, Fd fd, const struct stat& created)
        : path_(std::move(path)), fd_(std::move(fd)), created_(created)
    {
    }

    std::filesystem::path path_;
    Fd fd_;
    struct stat created_;  // the file as this object made it: its identity and owner
    bool owned_ = true;  // this object made the file and must remove it unless committed
};

// An export error about a file: "<prefix>“<name>”：<reason>" for errno err.
Error fileError(const std::string& prefix, const std::filesystem::path& file, int err);

}  // namespace kelvatta
