#include "media/output_file.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/sys.h"

namespace kelvatta {

Error fileError(const std::string& prefix, const std::filesystem::path& file, int err)
{
    return posixError(err, prefix + "“" + file.filename().string() + "”：");
}

ErrorOr<OutputFile> OutputFile::create(const std::filesystem::path& path)
{
    auto fd = sys::open(path.string(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd.isError()) {
        int err = static_cast<int>(fd.error().code);
        if (err == EEXIST)
            return Error{kPosixErrorDomain, err, "目标文件已存在：" + path.filename().string()};
        return fileError("无法创建文件", path, err);
    }
    return OutputFile(path, fd.releaseValue());
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::move(other.fd_)), owned_(std::exchange(other.owned_, false))
{
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard()
{
    fd_.reset();
    if (owned_) {
        // Best effort: a failed removal leaves a file the user can see and delete; the clip itself
        // is never at this path.
        (void)sys::unlink(path_.string());
        owned_ = false;
    }
}

ErrorOr<void> OutputFile::commit(const struct stat& source)
{
    if (auto r = sys::fchmod(fd_.get(), source.st_mode & 07777); r.isError())
        return fileError("无法设置文件权限", path_, static_cast<int>(r.error().code));
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    if (auto r = sys::futimens(fd_.get(), times); r.isError())
        return fileError("无法设置文件时间", path_, static_cast<int>(r.error().code));
    if (auto r = sys::fsync(fd_.get()); r.isError())
        return fileError("无法写入文件", path_, static_cast<int>(r.error().code));
    if (auto r = sys::close(fd_); r.isError())
        return fileError("无法写入文件", path_, static_cast<int>(r.error().code));
    owned_ = false;
    return {};
}

}  // namespace kelvatta
