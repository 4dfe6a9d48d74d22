// Makes a folder read-only for everyone, root included, with a read-only bind mount of it onto
// itself; unmounted when the object goes. Where mounting is refused, ok() is false.
#pragma once

#include <sys/mount.h>

#include <filesystem>

namespace kelvatta::test {

class ReadOnlyMount {
public:
    explicit ReadOnlyMount(const std::filesystem::path& folder) : folder_(folder)
    {
        if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) return;
        mounted_ = true;
        ok_ = ::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyMount()
    {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    ReadOnlyMount(const ReadOnlyMount&) = delete;
    ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;

    bool ok() const { return ok_; }

private:
    std::filesystem::path folder_;
    bool mounted_ = false;
    bool ok_ = false;
};

}  // namespace kelvatta::test
