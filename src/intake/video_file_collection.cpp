#include "intake/video_file_collection.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "intake/file_url.h"
#include "operations/batch_run.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/sys.h"
#include "rewrite/video_processor.h"
#include "state/texts.h"

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
        bool isLink;    // a symbolic link, to anything
    };
    std::vector<Entry> entries;
    size_t next = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

// Lists a folder in the order the file system gives; the error when it cannot be opened. An error
// while reading ends the listing with the entries read so far.
ErrorOr<Listing> listFolder(const fs::path& folder, int extraFlags)
{
    auto fd = KV_TRY(sys::open(folder.string(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | extraFlags));
    auto status = KV_TRY(sys::fstat(fd.get()));
    DIR* dir = ::fdopendir(fd.get());
    if (!dir) return posixError(errno);
    fd.release();

    Listing listing{folder, {}, 0, status.st_dev, status.st_ino};
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool isFolder = entry->d_type == DT_DIR;
        bool isLink = entry->d_type == DT_LNK;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            const bool known = ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
            isFolder = known && S_ISDIR(st.st_mode);
            isLink = known && S_ISLNK(st.st_mode);
        }
        listing.entries.push_back({std::string(name), isFolder, isLink});
    }
    ::closedir(dir);
    return listing;
}

// What the program itself leaves beside clips, which a walk passes over: a save-as folder (it holds
// results, and rewriting them would nest another one inside it), and a temporary file "temp_" + name
// whose clip lies in the same folder: by that name, or for temp_C0001.mp4 a clip C0001 of another
// container (a Matroska or AVI clip's result is named as an MP4 file).
bool isOurOwn(const Listing& listing, const Listing::Entry& entry)
{
    if (entry.isFolder) return entry.name == kSaveAsFolderName;
    if (!entry.name.starts_with(kTemporaryPrefix)) return false;
    const fs::path result(entry.name.substr(kTemporaryPrefix.size()));
    const auto namedAsMp4 = [&](const fs::path& clip) {
        const std::string extension = pathExtension(clip);
        return (extension == "avi" || extension == "mkv") && result == fs::path(clip).replace_extension(".mp4");
    };
    return std::any_of(listing.entries.begin(), listing.entries.end(),
                       [&](const Listing::Entry& other) { return other.name == result || namedAsMp4(other.name); });
}

// A macOS resource file ("._" + the clip's name, left on every card a Mac has written to): an
// AppleDouble header, not a clip. Only its first four bytes are read, and only from a regular file
// (opening a device could act on it).
bool isAppleDouble(const fs::path& path)
{
    constexpr uint8_t kMagic[4] = {0x00, 0x05, 0x16, 0x07};
    if (auto entry = sys::lstat(path.string()); entry.isError() || !S_ISREG(entry->st_mode)) return false;
    auto fd = sys::open(path.string(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd.isError()) return false;
    auto status = sys::fstat(fd->get());
    if (status.isError() || !S_ISREG(status->st_mode)) return false;
    uint8_t head[4] = {};
    auto read = sys::readAt(fd->get(), head, sizeof head, 0);
    return !read.isError() && *read == sizeof head && std::equal(head, head + 4, kMagic);
}

// Calls visit with every entry below folder, at every depth, a folder's own entry before its
// contents, hidden entries included, but for what the program left there itself (isOurOwn), macOS
// resource files among the clips, and symbolic links. A link is neither visited nor followed: one to
// a clip of the tree names a clip the walk meets anyway, one to elsewhere is not the folder's content
// (whoever made it would choose what is rewritten, and replace mode would put a copy of the target
// in the link's place). A folder met again below itself (through a bind mount) is not entered twice.
// Folders that cannot be opened are passed over, but for one whose path is longer than the system
// takes: tooLong is called with it, for the batch to report. False when folder itself cannot be
// opened.
template <typename Visit, typename TooLong>
bool walkFolder(const fs::path& folder, Visit&& visit, TooLong&& tooLong)
{
    auto top = listFolder(fs::path(urlPath(folder)), 0);
    if (top.isError()) return false;
    std::vector<Listing> stack;
    stack.push_back(top.releaseValue());
    while (!stack.empty()) {
        Listing& current = stack.back();
        if (current.next == current.entries.size()) {
            stack.pop_back();
            continue;
        }
        const Listing::Entry& entry = current.entries[current.next++];
        if (entry.isLink || isOurOwn(current, entry)) continue;
        fs::path path = current.folder / entry.name;
        if (!entry.isFolder && entry.name.starts_with("._") && hasVideoExtension(path) && isAppleDouble(path)) continue;
        visit(path);
        if (!entry.isFolder) continue;
        auto below = listFolder(path, O_NOFOLLOW);
        if (below.isError()) {
            if (errnoOf(below.error()) == ENAMETOOLONG) tooLong(path);
            continue;
        }
        const bool seen = std::any_of(stack.begin(), stack.end(), [&](const Listing& open) {
            return open.device == below->device && open.inode == below->inode;
        });
        if (!seen) stack.push_back(below.releaseValue());
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
    const auto take = [&](const fs::path& url) {
        videoFiles.push_back(url);
        if (found) found(url);
    };
    const auto consider = [&](const fs::path& url) {
        if (hasVideoExtension(url)) take(url);
    };
    // A folder too deep to be opened may hold clips: it goes to the batch, where it fails like a
    // clip that cannot be opened, and the run does not end as though every clip was done.
    const auto tooLong = [&](const fs::path& folder) {
        if (videoFiles.empty() || videoFiles.back() != folder) take(folder);
    };
    for (const auto& url : urls) {
        // A file named or dropped on its own is taken whatever its name (an Insta360 .insv, a GoPro .lrv,
        // AVCHD's .MTS): the export tells by its content whether it can rewrite it.
        if (!isFolderURL(url)) take(url);
        else if (!walkFolder(url, consider, tooLong)) return std::nullopt;
    }
    return videoFiles;
}

void collectVideoFiles(ContentView view, std::vector<fs::path> urls, FilesFound then)
{
    const ContentView::Weak weakView = view.weak();
    DispatchQueue::global(DispatchQueue::QoS::userInitiated).async([then, weakView, urls = std::move(urls)] {
        auto videoFiles = findVideoFiles(urls, [](const fs::path& url) { printLine(collectedFileLine(urlPath(url))); });
        if (!videoFiles) {
            // Nothing of this hand-over is processed, not even what was collected before.
            DispatchQueue::main().async([weakView] {
                if (auto current = weakView.lock()) reportFolderAccessFailure(*current);
            });
            return;
        }
        DispatchQueue::main().async([then, weakView, videoFiles = std::move(*videoFiles)]() mutable {
            if (auto current = weakView.lock()) then(*current, std::move(videoFiles));
        });
    });
}

}  // namespace kelvatta
