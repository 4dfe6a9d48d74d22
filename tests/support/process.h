// Runs a program as a child process and collects what it writes: the built program, ffmpeg and
// ffprobe, mount, setpriv. A shell command line goes through /bin/sh -c.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kelvatta::test {

struct ProgramRun {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    pid_t pid = -1;
    std::string out, err;
    long peakKiB = 0;  // the program's peak resident memory (rusage's ru_maxrss), in KiB
    std::vector<std::string> outLines() const;
};

struct ProgramOptions {
    std::string interruptOn{};  // sends interruptSignal once standard output holds this text
    int interruptSignal = SIGINT;
    // Stops the program (SIGSTOP) once standard output holds this text, reads all it wrote until
    // then, calls whileStopped with it and lets the program go on.
    std::string stopOn{};
    std::function<void(const ProgramRun&)> whileStopped{};
    bool closeOutput = false;   // closes the reading end of standard output at once, as a reader that went away
    int closedDescriptor = -1;  // starts the program with this descriptor (0, 1 or 2) closed, as some launchers do
    uint64_t addressSpace = 0;  // when not 0, the program's address space is limited to this many bytes (RLIMIT_AS)
    std::chrono::seconds timeout{180};
};

ProgramRun runProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});
ProgramRun shell(const std::string& commandLine);
std::string shellQuote(const std::filesystem::path& path);  // in single quotes

#ifdef KELVATTA_BUILD_DIR
inline std::string kelvattaPath() { return KELVATTA_BUILD_DIR "/src/app/kelvatta"; }
inline ProgramRun runKelvatta(std::vector<std::string> arguments, const ProgramOptions& options = {})
{
    arguments.insert(arguments.begin(), kelvattaPath());
    return runProgram(arguments, options);
}
#endif

}  // namespace kelvatta::test
