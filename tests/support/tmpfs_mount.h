// A tmpfs of a given size mounted on a folder (a small disk), unmounted when the object goes. Where
// mounting is refused (not root, no right to mount here), ok() is false.
#pragma once

#include <sys/mount.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace kelvatta::test {

class TmpfsMount {
public:
    TmpfsMount(const std::filesystem::path& folder, uint64_t bytes) : folder_(folder)
    {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
        ok_ = ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    }
    ~TmpfsMount()
    {
        if (ok_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool ok() const { return ok_; }

private:
    std::filesystem::path folder_;
    bool ok_ = false;
};

}  // namespace kelvatta::test
