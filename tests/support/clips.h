// Camera-like clips made with the Debian ffmpeg (never downloaded), what ffprobe reads from them,
// and one export as the program's export session runs it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "media/export/export_session.h"

namespace kelvatta::test {

struct ClipOptions {
    std::optional<std::string> timecode{};  // a tmcd track starting there
    bool moovFirst = false;
    std::string frameRate = "30000/1001";
    double seconds = 1.0;
    std::string size = "320x240";
};

// H.264 with 16-bit big-endian PCM audio (twos) in a QuickTime file branded XAVC, like a Sony
// camera's. Returns whether ffmpeg made it.
bool makeClip(const std::filesystem::path& path, const ClipOptions& options = {});
// A Matroska clip (the general path): 1 s of 320x240 H.264 at 25 fps and AAC, then ffmpeg's arguments more.
bool makeMatroska(const std::filesystem::path& path, const std::string& more = "");

// What `ffprobe -v error <arguments> <file>` prints, without the final line break.
std::string probe(const std::filesystem::path& file, const std::string& arguments);
std::string formatTimecode(const std::filesystem::path& file);  // the format-level tag, empty when absent
std::string streamTimecode(const std::filesystem::path& file, const std::string& specifier);  // of "v:0", "d:0"
std::string codecTags(const std::filesystem::path& file);  // of all streams, comma separated: "avc1,twos,tmcd"
// An MD5 of every audio and video packet, as ffmpeg's stream copy reads them.
std::string packetHash(const std::filesystem::path& file);

// The one metadata item the program gives every export: "timecode" = "00:00:00:00".
std::vector<MetadataItem> zeroTimecodeItems();
ErrorOr<void> exportClip(const std::filesystem::path& source, const std::filesystem::path& output);
// The clip rewritten in place to that item, and restored (true: there was a rewrite to undo).
ErrorOr<void> rewriteClipInPlace(const std::filesystem::path& clip);
ErrorOr<bool> restoreClip(const std::filesystem::path& clip);

}  // namespace kelvatta::test
