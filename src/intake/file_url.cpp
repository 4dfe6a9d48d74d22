#include "intake/file_url.h"

#include <algorithm>

namespace kelvatta {
namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(),
                                                      [](char lower, char c) { return asciiLower(c) == lower; });
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    c = asciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

std::string urlPath(const std::filesystem::path& url)
{
    if (isFolderURL(url) && url.has_relative_path()) return url.parent_path().string();
    return url.string();
}

std::string pathExtension(const std::filesystem::path& url)
{
    const std::string name = url.filename().string();
    const auto dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(), asciiLower);
    return extension;
}

std::optional<std::filesystem::path> fileURLPath(std::string_view text)
{
    text = trimmed(text);
    if (!startsWithNoCase(text, "file:")) return std::nullopt;
    text.remove_prefix(5);
    text = text.substr(0, text.find_first_of("?#"));
    if (text.starts_with("//")) {
        text.remove_prefix(2);
        const auto slash = text.find('/');
        if (slash == std::string_view::npos) return std::nullopt;
        const std::string_view host = text.substr(0, slash);
        if (!host.empty() && !(host.size() == 9 && startsWithNoCase(host, "localhost"))) return std::nullopt;
        text.remove_prefix(slash);
    }
    if (!text.starts_with('/')) return std::nullopt;

    std::string path;
    path.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            path.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
        path.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return std::filesystem::path(std::move(path));
}

std::string fileURLText(const std::filesystem::path& path)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "file://";
    for (const char c : path.string()) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~' ||
                           byte == '/';
        if (plain) {
            text.push_back(c);
        } else {
            text.push_back('%');
            text.push_back(kHex[byte >> 4]);
            text.push_back(kHex[byte & 15]);
        }
    }
    return text;
}

}  // namespace kelvatta
