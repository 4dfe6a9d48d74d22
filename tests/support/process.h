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
    size_t count(const std::string& prefix) const;  // the lines of standard output that begin with prefix
    bool says(const std::string& text) const { return out.find(text) != std::string::npos; }
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

// How often lines holds a line beginning with prefix.
size_t countStarting(const std::vector<std::string>& lines, const std::string& prefix);

// argv run through setpriv as the user nobody, in the groups given (none by default); canBeNobody:
// whether it can be (as root, with setpriv).
bool canBeNobody();
std::vector<std::string> asNobody(std::vector<std::string> argv, const std::string& groups = "--clear-groups");

// The command line's modes of rewriting a clip: replacing it, as a copy, in place; and a mode's
// arguments followed by the rest.
inline const std::vector<std::string> kModes[] = {{}, {"--save-as"}, {"--in-place"}};
std::vector<std::string> with(std::vector<std::string> mode, const std::vector<std::string>& rest);

#ifdef KELVATTA_BUILD_DIR
inline std::string kelvattaPath() { return KELVATTA_BUILD_DIR "/src/app/kelvatta"; }
inline ProgramRun runKelvatta(std::vector<std::string> arguments, const ProgramOptions& options = {})
{
    arguments.insert(arguments.begin(), kelvattaPath());
    return runProgram(arguments, options);
}
#endif

}  // namespace kelvatta::test
