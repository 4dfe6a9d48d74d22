#include "intake/video_file_collection.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "intake/file_url.h"
#include "operations/batch_run.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/sys.h"
#include "timecode/video_processor.h"
#include "ui/texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

constexpr std::array<std::string_view, 5> kVideoExtensions = {"mp4", "mov", "m4v", "avi", "mkv"};

bool hasVideoExtension(const fs::path& url)
{
    const std::string extension = pathExtension(url);
    return std::find(kVideoExtensions.begin(), kVideoExtensions.end(), extension) != kVideoExtensions.end();
}

// The entries of one folder, read in one go so that the folder is closed before its sub-folders are
// opened: a deep tree never holds more than one descriptor.
struct Listing {
    fs::path folder;
    struct Entry {
        std::string name;
        bool isFolder;  // a real folder, not a symbolic link to one
    };
    std::vector<Entry> entries;
    size_t next = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

// Lists a folder in the order the file system gives. Nothing when it cannot be opened. An error
// while reading ends the listing with the entries read so far.
std::optional<Listing> listFolder(const fs::path& folder, int extraFlags)
{
    auto fd = sys::open(folder.string(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | extraFlags);
    if (fd.isError()) return std::nullopt;
    auto status = sys::fstat(fd->get());
    if (status.isError()) return std::nullopt;
    DIR* dir = ::fdopendir(fd->get());
    if (!dir) return std::nullopt;
    fd->release();

    Listing listing{folder, {}, 0, status->st_dev, status->st_ino};
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            isFolder = ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        listing.entries.push_back({std::string(name), isFolder});
    }
    ::closedir(dir);
    return listing;
}

// What the program itself leaves beside clips, which a walk passes over: a save-as folder (it holds
// results, and rewriting them would nest another one inside it), and a temporary file "temp_" + name
// whose clip name lies in the same folder.
bool isOurOwn(const Listing& listing, const Listing::Entry& entry)
{
    if (entry.isFolder) return entry.name == kSaveAsFolderName;
    if (!entry.name.starts_with(kTemporaryPrefix)) return false;
    const std::string_view clip = std::string_view(entry.name).substr(kTemporaryPrefix.size());
    return std::any_of(listing.entries.begin(), listing.entries.end(),
                       [&](const Listing::Entry& other) { return other.name == clip; });
}

// Calls visit with every entry below folder, at every depth, a folder's own entry before its
// contents, hidden entries included, but for what the program left there itself (isOurOwn).
// Symbolic links are visited but not followed, and a folder met again below itself (through a bind
// mount) is not entered twice. Entries that cannot be opened are passed over. False when folder
// itself cannot be opened.
template <typename Visit>
bool walkFolder(const fs::path& folder, Visit&& visit)
{
    auto top = listFolder(fs::path(urlPath(folder)), 0);
    if (!top) return false;
    std::vector<Listing> stack;
    stack.push_back(std::move(*top));
    while (!stack.empty()) {
        Listing& current = stack.back();
        if (current.next == current.entries.size()) {
            stack.pop_back();
            continue;
        }
        const Listing::Entry& entry = current.entries[current.next++];
        if (isOurOwn(current, entry)) continue;
        fs::path path = current.folder / entry.name;
        visit(path);
        if (!entry.isFolder) continue;
        auto below = listFolder(path, O_NOFOLLOW);
        if (!below) continue;
        const bool seen = std::any_of(stack.begin(), stack.end(), [&](const Listing& open) {
            return open.device == below->device && open.inode == below->inode;
        });
        if (!seen) stack.push_back(std::move(*below));
    }
    return true;
}

void reportFolderAccessFailure(ContentView& view)
{
    view.setProcessingStatus(kFolderAccessFailure);
    view.setShowAlert(true);
    view.setErrorMessage(kFolderAccessFailure);
    view.setShowProgressBar(false);
}

}  // namespace

std::optional<std::vector<fs::path>> findVideoFiles(const std::vector<fs::path>& urls,
                                                   const std::function<void(const fs::path&)>& found)
{
    std::vector<fs::path> videoFiles;
    const auto consider = [&](const fs::path& url) {
        if (!hasVideoExtension(url)) return;
        videoFiles.push_back(url);
        if (found) found(url);
    };
    for (const auto& url : urls) {
        if (!isFolderURL(url)) consider(url);
        else if (!walkFolder(url, consider)) return std::nullopt;
    }
    return videoFiles;
}

void collectVideoFiles(ContentView view, std::vector<fs::path> urls)
{
    DispatchQueue::global(DispatchQueue::QoS::userInitiated).async([weakView = view.weak(), urls = std::move(urls)] {
        auto videoFiles = findVideoFiles(urls, [](const fs::path& url) { printLine("收集到视频文件：" + urlPath(url)); });
        if (!videoFiles) {
            // Nothing of this hand-over is processed, not even what was collected before.
            DispatchQueue::main().async([weakView] {
                if (auto current = weakView.lock()) reportFolderAccessFailure(*current);
            });
            return;
        }
        DispatchQueue::main().async([weakView, videoFiles = std::move(*videoFiles)]() mutable {
            if (auto current = weakView.lock()) processFiles(*current, std::move(videoFiles));
        });
    });
}

}  // namespace kelvatta
