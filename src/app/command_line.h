// kelvatta [--save-as | --in-place] [--timecode HH:MM:SS:FF] [--keep-going] PATH...: one batch
// without a window, through the same ContentView and batch run as the window. Standard output carries
// the program's log lines, or the help asked for with --help; usage errors, the progress line (on a
// terminal) and the closing line of a failed or interrupted batch go to standard error.
#pragma once

#include <signal.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/app_texts.h"
#include "platform/error.h"
#include "rewrite/video_processor.h"

namespace kelvatta {

// Exit statuses.
inline constexpr int kExitSuccess = 0;  // every file was rewritten
inline constexpr int kExitFailure = 1;  // a file failed, or no video file was found
inline constexpr int kExitUsage = 2;    // the command line was wrong, or a path cannot be reached

// Ctrl-C, a polite kill and the terminal going away: each stops a run as the window's close button
// does, cancelling the exports under way and starting nothing new. The command line then exits with
// 128 + the signal's number (130 for Ctrl-C).
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

struct CommandLine {
    // window: the window, opening the paths as dropped on it (kelvatta --window PATH...).
    enum class Action { run, restore, show, window, help, version };
    Action action = Action::run;
    bool saveAs = false;
    bool inPlace = false;
    bool keepGoing = false;
    std::optional<StartTimecode> timecode;  // --timecode: "HH:MM:SS:FF" or "HH:MM:SS;FF"
    std::vector<std::string> paths;
};

// Reads the arguments after the program's name. "--" ends the options.
ErrorOr<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

// What --help prints and a usage error ends with (app_texts.h).
using app_texts::usageText;

// The paths the window is to open when the arguments ask for the window: none given, or --window and
// paths. Nothing when they are the command line's (or wrong, which the command line says).
std::optional<std::vector<std::string>> windowPaths(int argc, char** argv);

struct BatchOptions {
    bool saveAs = false;
    bool inPlace = false;      // replace mode rewrites clips in place where their layout allows
    bool keepGoing = false;    // a failed file cancels none of the others
    StartTimecode timecode{};  // where every clip's timecode is to start
    // Whether to keep a progress line on standard error (only ever shown on a terminal).
    bool progressLine = true;
    // Where the export sessions come from: the program's own, or a test's.
    VideoProcessor::SessionFactory makeSession = makeExportSession;
};

// Runs one batch over urls (absolute, folders ending in a separator) on the calling thread, which
// becomes the main thread, until it has ended or a stop signal has stopped it; returns the exit status.
int runBatch(const BatchOptions& options, std::vector<std::filesystem::path> urls);

// kelvatta --restore PATH...: gives back the original of every clip rewritten in place among the
// paths (files named, and files below folders that carry a record); returns the exit status.
int runRestore(const std::vector<std::filesystem::path>& urls);

// The whole program when it runs without a window. Call on the thread that is to be the main thread,
// before any other thread is made.
int runCommandLine(int argc, char** argv);

}  // namespace kelvatta
