#include "app/terminal_status.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

#include "platform/log.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

void writeTo(int fd, std::string_view text)
{
    // The terminal is gone or full: the status line is not worth failing the run for.
    (void)sys::writeAll(fd, text.data(), text.size());
}

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

bool isWide(uint32_t c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
           (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
           (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
}

// Decodes one UTF-8 character at text[i]; returns its length, or 0 when the bytes are not UTF-8.
size_t decodeUtf8(std::string_view text, size_t i, uint32_t& c)
{
    const auto byte = [&](size_t k) { return uint32_t{static_cast<unsigned char>(text[k])}; };
    const uint32_t lead = byte(i);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    c = length == 1 ? lead : lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    return length;
}

bool isControl(uint32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

void writeLogLine(std::string_view line) { writeTo(STDOUT_FILENO, visibleText(line) + "\n"); }

}  // namespace

std::string visibleText(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t c = 0;
        const size_t length = decodeUtf8(text, i, c);
        if (length != 0 && !isControl(c)) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        // Every byte of the character, or the one byte that is not UTF-8.
        for (size_t k = 0; k < (length ? length : 1); ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
        i += length ? length : 1;
    }
    return out;
}

void printLogVisibly() { setLogSink(writeLogLine); }

std::string fitToColumns(std::string_view original, int columns)
{
    const std::string visible = visibleText(original);
    const std::string_view text = visible;
    std::string out;
    int used = 0;
    for (size_t i = 0; i < text.size();) {
        uint32_t c = 0;
        const size_t length = decodeUtf8(text, i, c);
        if (length == 0) break;  // visibleText leaves whole UTF-8 characters only
        const std::string_view piece = text.substr(i, length);
        const int width = piece.size() > 1 && isWide(c) ? 2 : 1;
        if (used + width >= columns) break;
        out.append(piece);
        used += width;
        i += length;
    }
    return out;
}

TerminalStatus::TerminalStatus() : enabled_(::isatty(STDERR_FILENO) == 1)
{
    if (!enabled_ || ::isatty(STDOUT_FILENO) != 1) return;
    ownsLog_ = true;
    setLogSink([this](std::string_view line) {
        std::string text = visibleText(line);
        text.push_back('\n');
        std::lock_guard lock(mutex_);
        eraseLine();
        writeTo(STDOUT_FILENO, text);
        writeLine();
    });
}

TerminalStatus::~TerminalStatus()
{
    clear();
    if (ownsLog_) printLogVisibly();
}

void TerminalStatus::show(std::string_view text)
{
    if (!enabled_) return;
    std::string fitted = fitToColumns(text, terminalColumns());
    std::lock_guard lock(mutex_);
    if (fitted == shown_) return;
    if (fitted.empty()) eraseLine();
    shown_ = std::move(fitted);
    writeLine();
}

void TerminalStatus::clear()
{
    if (!enabled_) return;
    std::lock_guard lock(mutex_);
    eraseLine();
    shown_.clear();
}

void TerminalStatus::writeLine()
{
    if (!shown_.empty()) writeTo(STDERR_FILENO, "\r" + shown_ + "\x1b[K");
}

void TerminalStatus::eraseLine()
{
    if (!shown_.empty()) writeTo(STDERR_FILENO, "\r\x1b[K");
}

void writeErrorLine(const std::string& text)
{
    const std::string line = text + "\n";
    (void)sys::writeAll(STDERR_FILENO, line.data(), line.size());
}

}  // namespace kelvatta
