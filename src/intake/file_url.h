// File URLs as the intake handles them: a URL is a std::filesystem::path, and a folder URL is one
// whose path ends with a separator. Also the textual form that dropped items carry.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kelvatta {

// Whether url names a folder: decided by its trailing separator alone, the file system is not asked.
inline bool isFolderURL(const std::filesystem::path& url) { return !url.has_filename(); }

// The folder URL of path: path with a trailing separator (unchanged when it has one).
inline std::filesystem::path asFolderURL(std::filesystem::path path)
{
    if (path.has_filename()) path /= "";
    return path;
}

// The path of a URL as it is shown and printed: its text, without the trailing separator of a
// folder URL (the root folder stays "/").
std::string urlPath(const std::filesystem::path& url);

// The text after the last dot of the URL's last component, lowercased (ASCII); empty when the
// component has no dot.
std::string pathExtension(const std::filesystem::path& url);

// The local path named by a file URL's text: "file:///p", "file://localhost/p" or "file:/p", with
// %XX escapes decoded, and the query and fragment, if any, dropped. Surrounding white space is
// ignored. Anything else forms no usable URL: another scheme, a URL naming another host, a relative
// reference (a bare path included), a broken escape or an escaped NUL. A path ending with '/' comes
// back as a folder URL.
std::optional<std::filesystem::path> fileURLPath(std::string_view text);

// The file URL text of an absolute path: "file://" and the path with every byte other than
// letters, digits, "-._~" and "/" percent-encoded. fileURLPath reads it back unchanged.
std::string fileURLText(const std::filesystem::path& path);

}  // namespace kelvatta
