// Runs a shell command from a test (ffmpeg, ffprobe, mount) and captures its standard output.
#pragma once

#include <filesystem>
#include <string>

namespace kelvatta::test {

struct CommandResult {
    int status = -1;  // exit status; -1 when it could not run or was killed
    std::string output;
};

CommandResult runCommand(const std::string& command);

// The path in single quotes for the shell.
std::string shellQuote(const std::filesystem::path& path);

}  // namespace kelvatta::test
