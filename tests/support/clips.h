// Camera-like clips made with the Debian ffmpeg (never downloaded), what ffprobe reads from them,
// and one export as the program runs it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "media/export_session.h"

namespace kelvatta::test {

struct ClipOptions {
    std::optional<std::string> timecode{};  // -timecode: a tmcd track starting there
    bool moovFirst = false;               // -movflags faststart
    std::string frameRate = "30000/1001";
    double seconds = 1.0;
    std::string size = "320x240";
};

// H.264 with 16-bit big-endian PCM audio (twos) in a QuickTime file branded XAVC, like a Sony
// camera's. Returns whether ffmpeg made it.
bool makeClip(const std::filesystem::path& path, const ClipOptions& options = {});

// What `ffprobe -v error <arguments> <file>` prints, without the final line break.
std::string probe(const std::filesystem::path& file, const std::string& arguments);
// The file's start timecode, from its format-level tag (empty when absent).
std::string formatTimecode(const std::filesystem::path& file);
// The timecode tag of the first stream matching specifier ("v:0", "d:0").
std::string streamTimecode(const std::filesystem::path& file, const std::string& specifier);
// The codec tags of all streams, comma separated ("avc1,twos,tmcd").
std::string codecTags(const std::filesystem::path& file);
// An MD5 of every audio and video packet, as ffmpeg's stream copy reads them.
std::string packetHash(const std::filesystem::path& file);

// The one metadata item the program gives every export: "timecode" = "00:00:00:00".
std::vector<MetadataItem> zeroTimecodeItems();
// Exports source to output as the program's export session does, on this thread.
ErrorOr<void> exportClip(const std::filesystem::path& source, const std::filesystem::path& output,
                         bool realOutputFolder = false);

}  // namespace kelvatta::test
