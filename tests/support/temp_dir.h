// A fresh folder under /tmp whose name holds a space and Chinese characters, as users' folders do,
// removed with everything in it when the test ends; and the file helpers the tests share.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace kelvatta::test {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() : path_(::mkdtemp((fs::temp_directory_path() / "kelvatta 片段-XXXXXX").string().data())) {}
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& name) const { return path_ / name; }

private:
    fs::path path_;
};

inline void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything below folder, at every depth, as sorted paths relative to it.
inline std::vector<std::string> entries(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) names.push_back(fs::relative(entry, folder));
    std::sort(names.begin(), names.end());
    return names;
}

// Every entry below folder (links not followed): a hash of a file's bytes, the inode and the
// modification time. Equal snapshots: nothing below was written, replaced, added, removed or dated.
using Snapshot = std::map<std::string, std::tuple<size_t, ino_t, long, long>>;
inline Snapshot snapshot(const fs::path& folder)
{
    Snapshot files;
    for (const std::string& name : entries(folder)) {
        struct stat st {};
        ::lstat((folder / name).c_str(), &st);
        files[name] = {std::hash<std::string>()(S_ISREG(st.st_mode) ? readFile(folder / name) : ""), st.st_ino,
                       st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    }
    return files;
}

// Dates a file t (its access and modification times); its inode (0 when it has none); whether it is
// dated t, to the nanosecond.
inline bool setTimes(const fs::path& path, struct timespec t)
{
    const struct timespec times[2] = {t, t};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}
inline ino_t inodeOf(const fs::path& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
inline bool modifiedAt(const fs::path& path, struct timespec t)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_mtim.tv_sec == t.tv_sec && st.st_mtim.tv_nsec == t.tv_nsec;
}

}  // namespace kelvatta::test
