// Small camera-like clips made with the Debian ffmpeg (never downloaded), and what ffprobe reads
// from them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kelvatta::test {

struct ClipOptions {
    std::optional<std::string> timecode;  // -timecode: a tmcd track starting there
    bool moovFirst = false;               // -movflags faststart
    std::string frameRate = "30000/1001";
    double seconds = 1.0;
};

// An H.264 clip with 16-bit big-endian PCM audio (twos) in a QuickTime file branded XAVC, like a
// Sony camera's. Fails the calling test (and returns an empty path) when ffmpeg does not make it.
std::filesystem::path makeClip(const std::filesystem::path& path, const ClipOptions& options = {});

// A format-level tag (e.g. "timecode"), empty when absent.
std::string probeFormatTag(const std::filesystem::path& file, const std::string& key);
// A tag of the first stream matching specifier (e.g. "v:0"), empty when absent.
std::string probeStreamTag(const std::filesystem::path& file, const std::string& specifier, const std::string& key);
// The codec tags of all streams, comma separated ("avc1,twos,tmcd").
std::string probeCodecTags(const std::filesystem::path& file);
// A hash of every audio and video packet (ffmpeg's streamhash muxer over a stream copy).
std::string packetHash(const std::filesystem::path& file);

}  // namespace kelvatta::test
