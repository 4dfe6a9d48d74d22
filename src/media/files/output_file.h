// The file an export writes: created exclusively (an existing file or link at the path is refused,
// never followed or overwritten), removed again unless the export commits it. Until it is committed
// it has no name where the file system allows (O_TMPFILE), else the temporary name "temp_" + name;
// the commit gives it its name in one step, so a run killed at any instant never leaves a partial
// file under the name.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string_view>

#include "platform/error.h"
#include "platform/fd.h"

namespace kelvatta {

// The start of the name a file has while it is written, where it cannot be written without one.
inline constexpr std::string_view kTemporaryPrefix = "temp_";

// The name a file at path has while it is written: "temp_" + its name, in its folder.
std::filesystem::path temporaryPath(const std::filesystem::path& path);

class OutputFile {
public:
    // Opens path's folder, then creates the file in it for reading and writing. An existing item at
    // path (or at the temporary name, where one is used) gives the error that the name is taken (file_texts::nameTaken). With realFolder the folder itself must
    // not be a link either (a save-as folder in a shared place, which someone else could point
    // elsewhere): it is opened without following one, and the file made within what was opened.
    static ErrorOr<OutputFile> create(const std::filesystem::path& path, bool realFolder = false);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    // Removes the file unless committed.
    ~OutputFile();

    int fd() const { return fd_.get(); }
    // The file as this object made it (its device and inode say which it is).
    const struct stat& created() const { return created_; }
    const std::filesystem::path& path() const { return path_; }

    // Flushes what has been written to disk (fsync), so what is read back next is what stays.
    ErrorOr<void> flush();

    // Gives the file the source's owner (where allowed), permission bits, extended attributes (tags,
    // ratings and ACLs that file managers keep there; what this file system refuses is passed over)
    // and times, flushes it, gives it its name (refused if something took the name meanwhile), flushes
    // the folder and closes it. source is the source's status,
    // sourceFd the source open for reading. Afterwards the file stays. On failure it is removed when
    // this object goes. durable = false leaves out the flushes (benchmarks compare with tools that
    // do not flush).
    ErrorOr<void> commit(const struct stat& source, int sourceFd, bool durable = true);

    // Removes the file now (also when it failed to commit), if its name still names the file this
    // object created: whatever another program put there since is left alone.
    void discard();

private:
    OutputFile(std::filesystem::path path, Fd folder, Fd fd, const struct stat& created, std::string current)
        : path_(std::move(path)), folder_(std::move(folder)), fd_(std::move(fd)), created_(created),
          current_(std::move(current))
    {
    }

    std::string name() const { return path_.filename().string(); }
    ErrorOr<void> publish();

    std::filesystem::path path_;
    Fd folder_;  // the folder the file was made in
    Fd fd_;
    struct stat created_;  // the file as this object made it: its identity and owner
    std::string current_;  // the file's name in folder_ now; empty while it has none
    bool owned_ = true;    // this object made the file and must remove it unless committed
};

}  // namespace kelvatta
