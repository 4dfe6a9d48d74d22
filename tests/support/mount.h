// A file system mounted on a folder for a test (made where missing), unmounted when the object goes.
// Mounting needs root (and a kernel that allows it here): where it is refused, ok() is false and the
// test skips.
#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <cstdint>

#include "support/process.h"

namespace kelvatta::test {

class Mount {
public:
    // A tmpfs of `bytes` (a small disk).
    static Mount tmpfs(const std::filesystem::path& folder, uint64_t bytes)
    {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
        std::filesystem::create_directories(folder);
        return Mount(folder, ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0);
    }
    // A new XFS with reflink (copy-on-write), or a new exFAT through FUSE (exfat-fuse) as a camera's
    // card is on most desktops, in an image file of `megabytes`, loop-mounted.
    static Mount xfs(const std::filesystem::path& image, const std::filesystem::path& folder, int megabytes)
    {
        return loop(image, folder, megabytes, "mkfs.xfs -q -m reflink=1", {});
    }
    static Mount exfat(const std::filesystem::path& image, const std::filesystem::path& folder, int megabytes)
    {
        return loop(image, folder, megabytes, "mkfs.exfat", {"-t", "exfat-fuse"});
    }
    ~Mount()
    {
        if (ok_ && ::umount2(folder_.c_str(), 0) != 0) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    bool ok() const { return ok_; }

private:
    static Mount loop(const std::filesystem::path& image, const std::filesystem::path& folder, int megabytes,
                      const std::string& mkfs, std::vector<std::string> mount)
    {
        const std::string file = shellQuote(image);
        std::filesystem::create_directories(folder);
        const bool made =
            ::geteuid() == 0 &&
            shell("truncate -s " + std::to_string(megabytes) + "M " + file + " && " + mkfs + " " + file).status == 0;
        mount.insert(mount.begin(), "/bin/mount");
        mount.insert(mount.end(), {"-o", "loop", image, folder});
        return Mount(folder, made && runProgram(mount).status == 0);
    }
    Mount(std::filesystem::path folder, bool ok) : folder_(std::move(folder)), ok_(ok) {}
    std::filesystem::path folder_;
    bool ok_;
};

}  // namespace kelvatta::test
