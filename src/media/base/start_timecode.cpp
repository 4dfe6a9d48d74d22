#include "media/base/start_timecode.h"

#include <charconv>

namespace kelvatta {
namespace {

bool parseTwoDigits(std::string_view s, uint32_t& out)
{
    if (s.size() != 2) return false;
    auto r = std::from_chars(s.data(), s.data() + 2, out);
    return r.ec == std::errc() && r.ptr == s.data() + 2;
}

}  // namespace

std::optional<Timecode> Timecode::parse(std::string_view text)
{
    if (text.size() != 11 || text[2] != ':' || text[5] != ':' || (text[8] != ':' && text[8] != ';'))
        return std::nullopt;
    Timecode tc;
    if (!parseTwoDigits(text.substr(0, 2), tc.hours) || !parseTwoDigits(text.substr(3, 2), tc.minutes) ||
        !parseTwoDigits(text.substr(6, 2), tc.seconds) || !parseTwoDigits(text.substr(9, 2), tc.frames))
        return std::nullopt;
    if (tc.hours > 23 || tc.minutes > 59 || tc.seconds > 59) return std::nullopt;
    return tc;
}

uint64_t Timecode::frameNumber(uint32_t framesPerSecond) const
{
    return (uint64_t(hours) * 3600 + uint64_t(minutes) * 60 + seconds) * framesPerSecond + frames;
}

std::string Timecode::text(bool dropFrame) const
{
    std::string out;
    const uint32_t fields[] = {hours, minutes, seconds, frames};
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0) out += i == 3 && dropFrame ? ';' : ':';
        const uint32_t v = fields[i] % 100;
        out += static_cast<char>('0' + v / 10);
        out += static_cast<char>('0' + v % 10);
    }
    return out;
}

std::optional<StartTimecode> StartTimecode::parse(std::string_view text)
{
    const auto time = Timecode::parse(text);
    if (!time) return std::nullopt;
    return StartTimecode{*time, text[8] == ';'};
}

}  // namespace kelvatta
