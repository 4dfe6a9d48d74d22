#include "platform/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kelvatta {

ErrorOr<void> openClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower numbers are open by now, so open takes fd, the lowest free one. No O_CLOEXEC:
        // these are the descriptors a program the desktop starts for us (an opener) inherits.
        int opened;
        do {
            opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        } while (opened < 0 && errno == EINTR);
        if (opened < 0) return posixError(errno, "无法打开 /dev/null：");
        if (opened != fd) {
            const int err = ::dup2(opened, fd) == fd ? 0 : errno;
            ::close(opened);
            if (err) return posixError(err, "无法打开 /dev/null：");
        }
    }
    return {};
}

}  // namespace kelvatta
