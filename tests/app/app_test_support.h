// Scratch folders, generated clips and file checks for the command line's tests.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "program_run.h"
#include "support/temp_dir.h"

namespace kelvatta::test {

namespace fs = std::filesystem;

// A fresh folder whose name holds a space and Chinese characters, as users' folders do; removed
// with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder() { fs::create_directory(path_); }
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    TempDir temp_;
    fs::path path_ = temp_ / "片段 目录";
};

// A short Sony-style clip: H.264 and big-endian PCM in a QuickTime container, a timecode track
// starting at timecode. Returns false when ffmpeg failed.
inline bool makeClip(const fs::path& path, const std::string& timecode = "12:34:56:12", int seconds = 1,
                     const std::string& size = "320x240")
{
    auto run = runProgram({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                           "testsrc=size=" + size + ":rate=25", "-f", "lavfi", "-i",
                           "sine=frequency=440:sample_rate=48000", "-t", std::to_string(seconds), "-c:v", "libx264",
                           "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16be", "-timecode", timecode,
                           "-f", "mov", path.string()});
    return run.status == 0;
}

// The file's start timecode as ffprobe reads it from the file's own tag, or the reason it could not.
inline std::string formatTimecode(const fs::path& path)
{
    auto run = runProgram({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "format_tags=timecode", "-of",
                           "default=nw=1:nk=1", path.string()});
    if (run.status != 0) return "ffprobe failed: " + run.err;
    while (!run.out.empty() && run.out.back() == '\n') run.out.pop_back();
    return run.out;
}

// Everything below folder, at every depth, as sorted paths relative to it.
inline std::vector<std::string> entries(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.push_back(fs::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string kelvattaPath() { return std::string(KELVATTA_BUILD_DIR) + "/src/app/kelvatta"; }

// Runs the built program with arguments.
inline ProgramRun runKelvatta(std::vector<std::string> arguments, const ProgramOptions& options = {})
{
    arguments.insert(arguments.begin(), kelvattaPath());
    return runProgram(arguments, options);
}

}  // namespace kelvatta::test
