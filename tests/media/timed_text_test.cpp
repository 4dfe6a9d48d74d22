// SubRip cues as MPEG-4 timed text samples: the markup dropped, the line breaks as LF, the length
// in front.
#include <gtest/gtest.h>

#include "media/general/timed_text.h"

using namespace kelvatta;

namespace {

std::string sample(const std::string& text)
{
    return std::string{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xFF)} + text;
}

TEST(TimedText, CueBecomesItsTextWithoutMarkup)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Hello", "Hello"},
        {"", ""},
        {"<I>caps</I> <b>bold</b> <u>u</u> <s>s</s>", "caps bold u s"},
        {"<font color=\"red\">Red</font>", "Red"},
        {"<bold>x</bold>", "<bold>x</bold>"},  // not a tag SubRip has
        {"<b", "<b"},                          // never closed
        {"one\r\ntwo\rthree\n\n", "one\ntwo\nthree"},
        {"中文 🎬", "中文 🎬"},
    };
    for (const auto& [cue, text] : cases) EXPECT_EQ(timedTextSample(cue), sample(text)) << cue;
    EXPECT_EQ(timedTextSample(std::string(0xFFFF, 'x')), sample(std::string(0xFFFF, 'x')));
    EXPECT_EQ(timedTextSample(std::string(0x10000, 'x')), std::nullopt) << "longer than its 16-bit length";
}

}  // namespace
