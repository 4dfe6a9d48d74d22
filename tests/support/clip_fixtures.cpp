#include "support/clip_fixtures.h"

#include <gtest/gtest.h>

#include "support/command.h"

namespace kelvatta::test {
namespace {

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

std::filesystem::path makeClip(const std::filesystem::path& path, const ClipOptions& options)
{
    std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y"
                      " -f lavfi -i testsrc2=s=320x240:r=" + options.frameRate + ":d=" + std::to_string(options.seconds) +
                      " -f lavfi -i sine=f=440:r=48000:d=" + std::to_string(options.seconds) +
                      " -c:v libx264 -preset ultrafast -g 15 -pix_fmt yuv420p -c:a pcm_s16be"
                      " -f mov -brand XAVC";
    if (options.timecode) cmd += " -timecode " + *options.timecode;
    if (options.moovFirst) cmd += " -movflags faststart";
    cmd += " " + shellQuote(path) + " 2>&1";
    auto r = runCommand(cmd);
    EXPECT_EQ(r.status, 0) << cmd << "\n" << r.output;
    return r.status == 0 ? path : std::filesystem::path();
}

std::string probeFormatTag(const std::filesystem::path& file, const std::string& key)
{
    return trimmed(runCommand("ffprobe -v error -show_entries format_tags=" + key + " -of default=nw=1:nk=1 " +
                              shellQuote(file))
                       .output);
}

std::string probeStreamTag(const std::filesystem::path& file, const std::string& specifier, const std::string& key)
{
    return trimmed(runCommand("ffprobe -v error -select_streams " + specifier + " -show_entries stream_tags=" + key +
                              " -of default=nw=1:nk=1 " + shellQuote(file))
                       .output);
}

std::string probeCodecTags(const std::filesystem::path& file)
{
    auto out = trimmed(runCommand("ffprobe -v error -show_entries stream=codec_tag_string -of csv=p=0 " +
                                  shellQuote(file))
                           .output);
    for (char& c : out)
        if (c == '\n') c = ',';
    return out;
}

std::string packetHash(const std::filesystem::path& file)
{
    auto r = runCommand("ffmpeg -nostdin -v error -i " + shellQuote(file) +
                        " -map 0:v -map 0:a -c copy -f streamhash - 2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
}

}  // namespace kelvatta::test
