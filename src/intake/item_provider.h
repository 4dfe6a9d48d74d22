// A dropped item that loads its content on a thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/error.h"

namespace kelvatta {

inline constexpr std::string_view kFileURLTypeIdentifier = "public.file-url";

class ItemProvider {
public:
    // What a load delivers: nothing, bytes, or an object of another kind (named by its type).
    struct OtherObject {
        std::string kind;
    };
    using Bytes = std::vector<uint8_t>;
    using Item = std::variant<std::monostate, Bytes, OtherObject>;
    using LoadCompletion = std::function<void(Item item, std::optional<Error> error)>;

    virtual ~ItemProvider() = default;

    virtual bool hasItemConformingToTypeIdentifier(std::string_view typeIdentifier) const = 0;
    // Loads the item of that type and calls completion once, on a thread of the provider's choosing.
    virtual void loadItemForTypeIdentifier(std::string_view typeIdentifier, LoadCompletion completion) = 0;
};

// The providers of a drop's text/uri-list: one per URL entry (comment lines and blank lines are
// skipped), each conforming to the file-URL type when its URL names a local file (fileURLPath; a web
// address or a file on another host does not), and loading the
// URL's text as bytes. A file URL naming an existing folder loads with a trailing separator, so that
// the folder is searched rather than judged by its extension.
std::vector<std::shared_ptr<ItemProvider>> itemProvidersFromUriList(std::string_view uriList);

}  // namespace kelvatta
