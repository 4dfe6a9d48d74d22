// The general path's timing: the rate a video's new timecode counts at, read from its frames' times,
// and timestamps moved without overflow.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "media/general/general_timing.h"

using namespace kelvatta;

namespace {

// The times of frames count frames apart at fps, in time base 1/timescale, rounded to its ticks.
std::vector<int64_t> times(double fps, int64_t timescale, int count, const std::function<int64_t(int)>& jitter = {})
{
    std::vector<int64_t> out;
    for (int i = 0; i < count; ++i)
        out.push_back(std::llround(i * static_cast<double>(timescale) / fps) + (jitter ? jitter(i) : 0));
    return out;
}

std::optional<std::pair<int, int>> fraction(std::optional<AVRational> rate)
{
    if (!rate) return std::nullopt;
    return std::pair(rate->num, rate->den);
}

TEST(GeneralTiming, FrameRateIsTheCommonRateOfTheFramesSteps)
{
    const auto dropped = [](std::vector<int64_t> t, size_t at) {
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(at));
        return t;
    };
    const auto reordered = [](std::vector<int64_t> t) {  // decoding order of I P B B
        for (size_t i = 1; i + 2 < t.size(); i += 3)
            std::rotate(t.begin() + static_cast<long>(i), t.begin() + static_cast<long>(i) + 2,
                        t.begin() + static_cast<long>(i) + 3);
        return t;
    };
    struct Case {
        const char* what;
        int64_t timescale;
        std::vector<int64_t> times;
        std::optional<AVRational> expected;
    } cases[] = {
        {"30 in milliseconds", 1000, times(30, 1000, 300), AVRational{30, 1}},
        {"29.97 in milliseconds", 1000, times(30000.0 / 1001, 1000, 300), AVRational{30000, 1001}},
        {"59.94 jittered by +3/-2 ms", 1000, times(60000.0 / 1001, 1000, 600, [](int i) { return i % 2 ? 3 : -2; }),
         AVRational{60000, 1001}},
        {"23.976 in Matroska's 1/1000", 1000, times(24000.0 / 1001, 1000, 240), AVRational{24000, 1001}},
        {"25 with frames dropped", 90000, dropped(dropped(times(25, 90000, 100), 10), 50), AVRational{25, 1}},
        {"30 in decoding order", 1000, reordered(times(30, 1000, 90)), AVRational{30, 1}},
        {"a repeated time", 1000,
         [] {
             auto t = times(25, 1000, 50);
             t.insert(t.begin() + 5, t[5]);
             return t;
         }(),
         AVRational{25, 1}},
        {"7, no common rate near: whole frames", 1000, times(7, 1000, 70), AVRational{7, 1}},
        {"one frame", 1000, {0}, std::nullopt},
        {"one time twice", 1000, {40, 40}, std::nullopt},
        {"no time base", 0, times(25, 1000, 50), std::nullopt},
    };
    for (const Case& c : cases) {
        FrameRateMeter meter(c.timescale ? AVRational{1, static_cast<int>(c.timescale)} : AVRational{0, 0});
        for (int64_t t : c.times) meter.add(t);
        EXPECT_EQ(fraction(meter.rate()), fraction(c.expected)) << c.what;
    }
}

TEST(GeneralTiming, TimestampsMoveWithoutOverflow)
{
    EXPECT_EQ(shifted(10, -3), 7);
    EXPECT_EQ(shifted(AV_NOPTS_VALUE, 5), AV_NOPTS_VALUE) << "a missing time stays missing";
    EXPECT_EQ(shifted(INT64_MAX, 1), std::nullopt);
    EXPECT_EQ(shifted(INT64_MIN + 1, -1), std::nullopt) << "would read as a missing time";
    EXPECT_EQ(rescaled(3, AVRational{1, 25}, AVRational{1, 1000}), 120);
    EXPECT_EQ(rescaled(AV_NOPTS_VALUE, AVRational{1, 25}, AVRational{1, 1000}), AV_NOPTS_VALUE);
    EXPECT_EQ(rescaled(INT64_MAX / 2, AVRational{1, 1}, AVRational{1, 1000}), std::nullopt);
}

}  // namespace
