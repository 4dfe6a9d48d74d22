#include "intake/drop_intake.h"

#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "intake/file_url.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "state/texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

// What one drop gathers while its items load: shared by the items' completions and the drop's
// notify block, which reads it after every completion has run.
struct DroppedURLs {
    std::mutex mutex;
    std::vector<fs::path> urls;
};

// The URL a loaded item carries: bytes holding a local file URL's text. Anything else is no URL.
std::optional<fs::path> droppedURL(const ItemProvider::Item& item)
{
    const auto* bytes = std::get_if<ItemProvider::Bytes>(&item);
    if (!bytes) return std::nullopt;
    return fileURLPath(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

void itemLoaded(const ContentView::Weak& weakView, DroppedURLs& dropped, const ItemProvider::Item& item,
                const std::optional<Error>& error)
{
    if (auto url = droppedURL(item)) {
        fs::path resolved = resolveSymlink(*url);
        // Printed under the lock, so that the lines come in the order of the list.
        std::lock_guard lock(dropped.mutex);
        dropped.urls.push_back(resolved);
        printLine(droppedFileLine(urlPath(resolved)));
        return;
    }
    const std::string text = kCannotLoadFile + (error ? error->localizedDescription : std::string(kUnknownError));
    DispatchQueue::main().async([weakView, text] {
        auto view = weakView.lock();
        if (!view) return;
        view->setErrorMessage(text);
        view->setShowAlert(true);
    });
    printLine(text);
}

}  // namespace

bool performDrop(ContentView view, const std::vector<std::shared_ptr<ItemProvider>>& providers)
{
    if (!view.takesInput()) return false;
    return handleDrop(std::move(view), providers);
}

bool handleDrop(ContentView view, const std::vector<std::shared_ptr<ItemProvider>>& providers, FilesFound then)
{
    DispatchGroup group;
    auto dropped = std::make_shared<DroppedURLs>();
    const ContentView::Weak weakView = view.weak();
    bool anyConforms = false;
    for (const auto& provider : providers) {
        if (!provider || !provider->hasItemConformingToTypeIdentifier(kFileURLTypeIdentifier)) continue;
        anyConforms = true;
        group.enter();
        provider->loadItemForTypeIdentifier(
            kFileURLTypeIdentifier,
            [weakView, dropped, group](ItemProvider::Item item, std::optional<Error> error) mutable {
                itemLoaded(weakView, *dropped, item, error);
                group.leave();
            });
    }
    group.notify(DispatchQueue::main(), [weakView, dropped, then] {
        std::vector<fs::path> urls;
        {
            std::lock_guard lock(dropped->mutex);
            urls = std::move(dropped->urls);
        }
        if (urls.empty()) return;
        if (auto current = weakView.lock()) collectVideoFiles(*current, std::move(urls), then);
    });
    return anyConforms;
}

fs::path resolveSymlink(const fs::path& url)
{
    // The item itself: a folder URL's trailing separator would make the system follow the link.
    const fs::path item = isFolderURL(url) ? url.parent_path() : url;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(item, ec);
    if (ec || !fs::is_symlink(status)) return url;
    const fs::path resolved = fs::weakly_canonical(item, ec);
    if (ec) return url;
    // A folder stays a folder URL, so that it is still searched.
    return isFolderURL(url) ? asFolderURL(resolved) : resolved;
}

}  // namespace kelvatta
