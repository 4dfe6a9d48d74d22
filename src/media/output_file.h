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
    // Opens path's folder, then creates path in it with O_CREAT|O_EXCL for reading and writing. An
    // existing item gives the error "目标文件已存在：" + its name. With realFolder the folder itself must
    // not be a link either (a save-as folder in a shared place, which someone else could point
    // elsewhere): it is opened without following one, and the file made within what was opened.
    static ErrorOr<OutputFile> create(const std::filesystem::path& path, bool realFolder = false);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    // Removes the file unless committed.
    ~OutputFile();

    int fd() const { return fd_.get(); }
    const std::filesystem::path& path() const { return path_; }

    // Flushes what has been written to disk (fsync), so what is read back next is what stays.
    ErrorOr<void> flush();

    // Gives the file the source's owner (where allowed), permission bits, extended attributes (tags,
    // ratings and ACLs that file managers keep there; what this file system refuses is passed over)
    // and times, flushes it (with its directory entry) and closes it. source is the source's status,
    // sourceFd the source open for reading. Afterwards the file stays. On failure it is removed when
    // this object goes. durable = false leaves out the flushes (benchmarks compare with tools that
    // do not flush).
    ErrorOr<void> commit(const struct stat& source, int sourceFd, bool durable = true);

    // Removes the file now (also when it failed to commit), if its name still names the file this
    // object created: whatever another program put there since is left alone.
    void discard();

private:
    OutputFile(std::filesystem::path path, Fd folder, Fd fd, const struct stat& created)
        : path_(std::move(path)), folder_(std::move(folder)), fd_(std::move(fd)), created_(created)
    {
    }

    std::string name() const { return path_.filename().string(); }

    std::filesystem::path path_;
    Fd folder_;  // the folder the file was made in
    Fd fd_;
    struct stat created_;  // the file as this object made it: its identity and owner
    bool owned_ = true;  // this object made the file and must remove it unless committed
};

}  // namespace kelvatta
