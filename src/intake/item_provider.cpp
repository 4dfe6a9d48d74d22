#include "intake/item_provider.h"

#include <system_error>
#include <utility>

#include "intake/file_url.h"
#include "platform/dispatch.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

// The text an entry loads as: the entry itself, or, when it names an existing folder, that folder's
// URL with its trailing separator.
std::string loadedText(const std::string& uri)
{
    auto path = fileURLPath(uri);
    if (!path || isFolderURL(*path)) return uri;
    std::error_code ec;
    if (!fs::is_directory(*path, ec)) return uri;
    return fileURLText(asFolderURL(*path));
}

class UriListItemProvider final : public ItemProvider {
public:
    explicit UriListItemProvider(std::string uri) : uri_(std::move(uri)) {}

    bool hasItemConformingToTypeIdentifier(std::string_view typeIdentifier) const override
    {
        return typeIdentifier == kFileURLTypeIdentifier && fileURLPath(uri_).has_value();
    }

    void loadItemForTypeIdentifier(std::string_view typeIdentifier, LoadCompletion completion) override
    {
        const bool conforms = hasItemConformingToTypeIdentifier(typeIdentifier);
        // The folder test asks the file system, which may be slow (a network mount): not on the
        // caller's thread.
        DispatchQueue::global().async([uri = uri_, conforms, completion = std::move(completion)] {
            if (!conforms) {
                completion(std::monostate{}, std::nullopt);
                return;
            }
            const std::string text = loadedText(uri);
            completion(Bytes(text.begin(), text.end()), std::nullopt);
        });
    }

private:
    std::string uri_;
};

}  // namespace

std::vector<std::shared_ptr<ItemProvider>> itemProvidersFromUriList(std::string_view uriList)
{
    std::vector<std::shared_ptr<ItemProvider>> providers;
    while (!uriList.empty()) {
        const auto end = uriList.find('\n');
        std::string_view line = uriList.substr(0, end);
        uriList.remove_prefix(end == std::string_view::npos ? uriList.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        providers.push_back(std::make_shared<UriListItemProvider>(std::string(line)));
    }
    return providers;
}

}  // namespace kelvatta
