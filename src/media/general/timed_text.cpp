#include "media/general/timed_text.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

#include <array>
#include <cctype>
#include <cstring>

#include "media/base/media_error.h"

namespace kelvatta {
namespace {

// The description of a timed text track ('tx3g' sample entry, after its data reference): white
// 16-point Arial, centred at the bottom, on no background (FFmpeg's defaults, which its tools read
// back as unstyled text).
constexpr std::array<uint8_t, 48> kTimedTextEntry = {
    0, 0,    0, 0,                                                // display flags
    1, 0xFF,                                                      // justification: centred, bottom
    0, 0,    0, 0,                                                // background colour (RGBA): transparent
    0, 0,    0, 0,   0,   0,   0,   0,                            // text box: the whole track
    0, 0,    0, 0,   0,   1,   0,   16,  0xFF, 0xFF, 0xFF, 0xFF,  // style: font 1, plain, 16 points, white
    0, 0,    0, 18,  'f', 't', 'a', 'b', 0,    1,                 // font table (18 bytes), one entry:
    0, 1,    5, 'A', 'r', 'i', 'a', 'l'};                         // font 1, "Arial"

}  // namespace

ErrorOr<void> setTimedText(AVCodecParameters* par)
{
    par->codec_id = AV_CODEC_ID_MOV_TEXT;
    par->codec_tag = MKTAG('t', 'x', '3', 'g');
    av_freep(&par->extradata);
    par->extradata_size = 0;
    par->extradata = static_cast<uint8_t*>(av_mallocz(kTimedTextEntry.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return outOfMemory();
    std::memcpy(par->extradata, kTimedTextEntry.data(), kTimedTextEntry.size());
    par->extradata_size = static_cast<int>(kTimedTextEntry.size());
    return {};
}

std::optional<std::string> timedTextSample(std::string_view cue)
{
    const auto isTag = [](std::string_view rest) {
        // <b>, </i>, <font color="red">: markup; any other "<" is text.
        size_t at = rest.starts_with("</") ? 2 : 1;
        size_t end = at;
        while (end < rest.size() && std::isalpha(static_cast<unsigned char>(rest[end]))) ++end;
        std::string name(rest.substr(at, end - at));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name != "b" && name != "i" && name != "u" && name != "s" && name != "font") return std::string_view::npos;
        if (end < rest.size() && rest[end] != '>' && rest[end] != ' ') return std::string_view::npos;
        return rest.find('>', end);
    };
    std::string text;
    for (size_t i = 0; i < cue.size(); ++i) {
        const std::string_view rest = cue.substr(i);
        size_t skip = std::string_view::npos;
        if (rest.starts_with("<")) skip = isTag(rest);
        else if (rest.starts_with("{\\")) skip = rest.find('}');
        if (skip != std::string_view::npos) {
            i += skip;
        } else if (rest.starts_with("\r\n")) {
            // the LF comes next
        } else {
            text += rest[0] == '\r' ? '\n' : rest[0];
        }
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.size() > 0xFFFF) return std::nullopt;
    return std::string{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xFF)} + text;
}

}  // namespace kelvatta
