#include "app/command_line.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

#include "app/app_texts.h"
#include "app/batch_tally.h"
#include "app/running_exports.h"
#include "app/show_command.h"
#include "app/terminal_status.h"
#include "intake/file_url.h"
#include "intake/video_file_collection.h"
#include "media/inplace/in_place.h"
#include "media/files/locked_clip.h"
#include "media/base/media_error.h"
#include "media/sony/sidecar.h"
#include "platform/log.h"
#include "operations/batch_run.h"
#include "platform/dispatch.h"
#include "platform/operation_queue.h"
#include "platform/sys.h"
#include "rewrite/video_processor.h"
#include "state/content_view.h"
#include "state/texts.h"

namespace kelvatta {
namespace {

namespace fs = std::filesystem;

// One line on standard error, with what it quotes (paths, arguments) made visible as the log is.
void printError(const std::string& text) { writeErrorLine(visibleText(text)); }

// The first of kStopSignals that came, 0 while none has. Set by the handler, read by the run loop:
// the handler does nothing else.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onCommandLineStopSignal(int signal)
{
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
}

// Ctrl-C, a polite kill and the terminal going away all stop the run the same way: the exports
// under way are cancelled (their partial outputs removed) and nothing new starts.
void installSignalHandlers()
{
    // The log goes to a pipe that its reader may close: a write then fails instead of ending us.
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = onCommandLineStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
}

// The paths as the batch wants them: absolute, symbolic links resolved (as a drop delivers them), and
// folders ending in a separator. A path that cannot be reached is an error before anything runs.
ErrorOr<std::vector<fs::path>> resolvePaths(const std::vector<std::string>& paths)
{
    std::vector<fs::path> urls;
    for (const auto& path : paths) {
        std::error_code ec;
        fs::path resolved = fs::canonical(fs::path(path), ec);
        if (ec) return Error{"CommandLine", ec.value(), app_texts::cannotReach(path, errnoReason(ec.value()))};
        urls.push_back(fs::is_directory(resolved, ec) ? asFolderURL(std::move(resolved)) : std::move(resolved));
    }
    return urls;
}

// Where the one batch of the command line stands, learnt from the view state it writes.
class BatchWatch {
public:
    explicit BatchWatch(ContentView view) : view_(std::move(view))
    {
        token_ = view_.addObserver([this](ContentView::Field field) { observe(field); });
    }
    ~BatchWatch() { view_.removeObserver(token_); }

    bool started() const { return started_; }
    bool ended() const { return ended_; }

private:
    // Collection ends in processFiles, whose last word on showProgressBar is true for a batch and
    // false for an empty list (or a collection that failed). A batch has ended once every one of its
    // files has, after its report and its final step.
    void observe(ContentView::Field field)
    {
        if (ended_) return;
        if (field == ContentView::Field::showProgressBar && !started_) {
            started_ = view_.showProgressBar();
            ended_ = !started_;
        } else if (field == ContentView::Field::batchesRunning && started_) {
            ended_ = view_.batchesRunning() == 0;
        }
    }

    ContentView view_;
    long token_ = 0;
    bool started_ = false;
    bool ended_ = false;
};

std::string progressText(const ContentView& view, const RunningExports& exports)
{
    std::string text = processingFilesText(view.progress(), view.maxProgress());
    for (const auto& running : exports.running())
        text += "  " + running.source.filename().string() + " " +
                std::to_string(static_cast<int>(running.progress * 100)) + "%";
    return text;
}

struct RestoreTally {
    int restored = 0;
    int failed = 0;
};

// Gives back one clip's original, then its sidecar's, under one lock on the clip; prints what became
// of each. A clip without a marker is passed over, unless it was named.
void restoreClip(const fs::path& file, bool named, RestoreTally& tally)
{
    const auto fail = [&](const Error& error) {
        printLine(app_texts::restoreFailed(error.localizedDescription));
        ++tally.failed;
    };
    // Read first, without a lock or write access, so that the clips of a folder that were never
    // rewritten in place are left alone, whoever holds or owns them.
    auto marked = carriesInPlaceMarker(file);
    if (marked.isError()) return fail(marked.error());
    if (!*marked) {
        if (named) fail(Error{kExportErrorDomain, 0, app_texts::noRecord(file)});
        return;
    }
    auto clip = LockedClip::open(file, ClipUse::rewrite);
    if (clip.isError()) return fail(clip.error());
    // The sidecar is counted from the clip's own start again before the record goes, so that a
    // restore cut short anywhere is finished, sidecar included, by the next.
    auto restored = catchingAllocation([&] { return restoreInPlace(*clip); });
    if (restored.isError()) return fail(restored.error());
    if (!*restored) return;  // the marker went between the look and the lock: nothing to undo
    printLine(app_texts::restored(file));
    ++tally.restored;
    const SidecarOutcome& sidecar = (*restored)->sidecar;
    if (sidecar.kind == SidecarOutcome::Kind::written) printLine(app_texts::sidecarRestored(sidecar.path));
    else if (auto line = leftAloneLine(sidecar)) printLine(*line);
}

}  // namespace

int runBatch(const BatchOptions& options, std::vector<fs::path> urls)
{
    markMainThread();
    stopSignal = 0;
    installSignalHandlers();

    auto exports = RunningExports::create();
    auto tally = std::make_shared<BatchTally>();
    auto processor = std::make_shared<TalliedProcessor>(exports->sessionFactory(options.makeSession), tally);
    processor->setInPlace(options.inPlace);
    processor->setTimecode(options.timecode);
    ContentView view(processor);
    view.setSaveAs(options.saveAs);
    view.setKeepGoing(options.keepGoing);
    BatchWatch watch(view);
    std::optional<TerminalStatus> status;
    if (options.progressLine) status.emplace();
    const auto showStatus = [&](std::string_view text) {
        if (status) status->show(text);
    };

    setupOperationQueue(view);
    collectVideoFiles(view, std::move(urls));

    bool interrupting = false;
    while (!watch.ended()) {
        MainRunLoop::runUntil([&] { return watch.ended() || (stopSignal.load() && !interrupting); },
                              std::chrono::milliseconds(100));
        if (stopSignal.load() && !interrupting) {
            interrupting = true;
            // Before the batch has started nothing is being written: stop at once.
            if (!watch.started()) break;
            showStatus(app_texts::cancelling());
            // Stopped like a failed batch: files not yet started get no report, so without the error
            // state the batch's final step would claim that every file was done.
            view.setErrorMessage(kInterrupted);
            view.setShowAlert(true);
            view.operationQueue().cancelAllOperations();
            exports->cancelAll();
        }
        if (watch.started() && !interrupting && !watch.ended()) showStatus(progressText(view, *exports));
    }
    status.reset();

    const bool allDone = watch.ended() && watch.started() && !view.showAlert() && view.progress() == view.maxProgress();
    if (interrupting) {
        printError(watch.started() ? tally->closingLine(view.filesToProcess(), true, exports->rtmdKept())
                                   : app_texts::interruptedBeforeStart());
        return 128 + stopSignal.load();
    }
    // The window's error line, for a reader whose standard output goes elsewhere, then what became
    // of the batch's files.
    if (view.showAlert() && view.errorMessage()) printError(errorLineText(*view.errorMessage()));
    if (watch.started() && !allDone) printError(tally->closingLine(view.filesToProcess(), false, exports->rtmdKept()));
    if (auto line = BatchTally::doneLine(view.maxProgress(), exports->rtmdKept()); allDone && line) printError(*line);
    return allDone ? kExitSuccess : kExitFailure;
}

int runRestore(const std::vector<fs::path>& urls)
{
    // Each step of a restore is flushed and can be taken again: a stop signal ends the run between
    // clips, never inside one.
    stopSignal = 0;
    installSignalHandlers();
    const auto files = findVideoFiles(urls);
    if (!files) {
        printError(app_texts::programLine(kFolderAccessFailure));
        return kExitUsage;
    }
    RestoreTally tally;
    for (const fs::path& url : *files) {
        if (stopSignal.load()) break;
        const bool named = std::find(urls.begin(), urls.end(), url) != urls.end();
        restoreClip(fs::path(urlPath(url)), named, tally);
    }
    if (stopSignal.load()) {
        printError(app_texts::restoreInterrupted(tally.restored));
        return 128 + stopSignal.load();
    }
    if (tally.restored == 0 && tally.failed == 0) printError(app_texts::noneRestored());
    return tally.failed == 0 && tally.restored > 0 ? kExitSuccess : kExitFailure;
}

namespace {

// The value of --timecode: "HH:MM:SS:FF" or, drop-frame, "HH:MM:SS;FF", hours below 24, minutes and
// seconds below 60, or a usage error that says what is wrong. Whether a clip counts that many frames
// is for each clip to say.
ErrorOr<StartTimecode> checkedTimecode(const std::string& value)
{
    if (const auto start = StartTimecode::parse(value)) return *start;
    const auto usage = [&](app_texts::TimecodeFault fault) {
        return Error{"CommandLine", kExitUsage, app_texts::badTimecode(value, fault)};
    };
    const auto digits = [&](size_t at) { return std::isdigit(static_cast<unsigned char>(value[at])) != 0; };
    bool wellFormed = value.size() == 11 && value[2] == ':' && value[5] == ':' && (value[8] == ':' || value[8] == ';');
    for (size_t at : {0u, 1u, 3u, 4u, 6u, 7u, 9u, 10u}) wellFormed = wellFormed && digits(at);
    if (!wellFormed) return usage(app_texts::TimecodeFault::form);
    const auto field = [&](size_t at) { return (value[at] - '0') * 10 + (value[at + 1] - '0'); };
    if (field(0) >= 24) return usage(app_texts::TimecodeFault::hours);
    if (field(3) >= 60) return usage(app_texts::TimecodeFault::minutes);
    return usage(app_texts::TimecodeFault::seconds);
}

}  // namespace

ErrorOr<CommandLine> parseCommandLine(const std::vector<std::string>& arguments)
{
    using app_texts::Misuse;
    CommandLine commandLine;
    bool optionsEnded = false;
    bool window = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            commandLine.paths.push_back(argument);
        } else if (argument == "--timecode" || argument.starts_with("--timecode=")) {
            const bool joined = argument != "--timecode";
            if (!joined && i + 1 == arguments.size())
                return Error{"CommandLine", kExitUsage, app_texts::misuse(Misuse::timecodeMissing)};
            commandLine.timecode = KV_TRY(checkedTimecode(joined ? argument.substr(11) : arguments[++i]));
        } else if (argument == "--show" || argument == "--restore") {
            // One action a run: a look and a restore asked together are a usage error, not whichever
            // came last.
            const auto action = argument == "--show" ? CommandLine::Action::show : CommandLine::Action::restore;
            if (commandLine.action != CommandLine::Action::run && commandLine.action != action)
                return Error{"CommandLine", kExitUsage, app_texts::misuse(Misuse::showWithRestore)};
            commandLine.action = action;
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--save-as") {
            commandLine.saveAs = true;
        } else if (argument == "--in-place") {
            commandLine.inPlace = true;
        } else if (argument == "--keep-going") {
            commandLine.keepGoing = true;
        } else if (argument == "--window") {
            window = true;
        } else if (argument == "--help" || argument == "-h") {
            commandLine.action = CommandLine::Action::help;
            return commandLine;
        } else if (argument == "--version") {
            commandLine.action = CommandLine::Action::version;
            return commandLine;
        } else {
            return Error{"CommandLine", kExitUsage, app_texts::unknownOption(argument)};
        }
    }
    if (window) {
        // The window's own choices are made in it: its files go as a drop does.
        if (commandLine.action != CommandLine::Action::run || commandLine.saveAs || commandLine.inPlace ||
            commandLine.keepGoing || commandLine.timecode)
            return Error{"CommandLine", kExitUsage, app_texts::misuse(Misuse::windowWithOptions)};
        commandLine.action = CommandLine::Action::window;
        return commandLine;
    }
    if (commandLine.paths.empty()) return Error{"CommandLine", kExitUsage, app_texts::misuse(Misuse::noPaths)};
    if (commandLine.inPlace && commandLine.saveAs)
        return Error{"CommandLine", kExitUsage, app_texts::misuse(Misuse::inPlaceWithSaveAs)};
    if (commandLine.action == CommandLine::Action::restore &&
        (commandLine.inPlace || commandLine.saveAs || commandLine.timecode))
        return Error{"CommandLine", kExitUsage, app_texts::misuse(Misuse::restoreWithOptions)};
    if (commandLine.action == CommandLine::Action::show &&
        (commandLine.inPlace || commandLine.saveAs || commandLine.timecode))
        return Error{"CommandLine", kExitUsage, app_texts::misuse(Misuse::showWithOptions)};
    return commandLine;
}

std::optional<std::vector<std::string>> windowPaths(int argc, char** argv)
{
    if (argc <= 1) return std::vector<std::string>();
    auto parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.isError() || parsed->action != CommandLine::Action::window) return std::nullopt;
    return std::move(parsed->paths);
}

int runCommandLine(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto parsed = parseCommandLine(arguments);
    if (parsed.isError()) {
        printError(app_texts::programLine(parsed.error().localizedDescription));
        writeErrorLine(usageText());
        return kExitUsage;
    }
    switch (parsed->action) {
    case CommandLine::Action::help: {
        const std::string text = std::string(usageText()) + "\n";
        (void)sys::writeAll(STDOUT_FILENO, text.data(), text.size());
        return kExitSuccess;
    }
    case CommandLine::Action::version: {
        const std::string line = std::string("kelvatta ") + KELVATTA_VERSION + "\n";
        (void)sys::writeAll(STDOUT_FILENO, line.data(), line.size());
        return kExitSuccess;
    }
    case CommandLine::Action::window: printError(app_texts::noWindowBuilt()); return kExitUsage;
    case CommandLine::Action::run:
    case CommandLine::Action::restore:
    case CommandLine::Action::show: break;
    }
    auto urls = resolvePaths(parsed->paths);
    if (urls.isError()) {
        printError(app_texts::programLine(urls.error().localizedDescription));
        return kExitUsage;
    }
    if (parsed->action == CommandLine::Action::restore) return runRestore(*urls);
    if (parsed->action == CommandLine::Action::show) return runShow(*urls);
    BatchOptions options;
    options.saveAs = parsed->saveAs;
    options.inPlace = parsed->inPlace;
    if (parsed->timecode) options.timecode = *parsed->timecode;
    options.keepGoing = parsed->keepGoing;
    return runBatch(options, urls.releaseValue());
}

}  // namespace kelvatta
