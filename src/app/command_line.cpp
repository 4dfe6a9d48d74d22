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

void writeError(const std::string& text)
{
    const std::string line = text + "\n";
    (void)sys::writeAll(STDERR_FILENO, line.data(), line.size());
}

// One line on standard error, with what it quotes (paths, arguments) made visible as the log is.
void printError(const std::string& text) { writeError(visibleText(text)); }

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
        if (ec) return Error{"CommandLine", ec.value(), "无法访问“" + path + "”：" + errnoReason(ec.value())};
        urls.push_back(fs::is_directory(resolved, ec) ? asFolderURL(std::move(resolved)) : std::move(resolved));
    }
    return urls;
}

// Where the one batch of the command line stands, learnt from the view state it writes.
class BatchWatch {
public:
    explicit BatchWatch(ContentView view) : view_(std::move(view))
    {
        token_ = view_.addObserver([this](std::string_view field) { observe(field); });
    }
    ~BatchWatch() { view_.removeObserver(token_); }

    bool started() const { return started_; }
    bool ended() const { return ended_; }

private:
    // Collection ends in processFiles, whose last word on showProgressBar is true for a batch and
    // false for an empty list (or a collection that failed). A batch has ended once every one of its
    // files has, after its report and its final step.
    void observe(std::string_view field)
    {
        if (ended_) return;
        if (field == "showProgressBar" && !started_) {
            started_ = view_.showProgressBar();
            ended_ = !started_;
        } else if (field == "batchesRunning" && started_) {
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
        printLine("恢复失败：" + error.localizedDescription);
        ++tally.failed;
    };
    // Read first, without a lock or write access, so that the clips of a folder that were never
    // rewritten in place are left alone, whoever holds or owns them.
    auto marked = carriesInPlaceMarker(file);
    if (marked.isError()) return fail(marked.error());
    if (!*marked) {
        if (named)
            fail(Error{kExportErrorDomain, 0, "文件“" + file.filename().string() + "”没有原地修改的记录，无法恢复"});
        return;
    }
    auto clip = LockedClip::open(file, ClipUse::rewrite);
    if (clip.isError()) return fail(clip.error());
    // The sidecar is counted from the clip's own start again before the record goes, so that a
    // restore cut short anywhere is finished, sidecar included, by the next.
    auto restored = catchingAllocation([&] { return restoreInPlace(*clip); });
    if (restored.isError()) return fail(restored.error());
    if (!*restored) return;  // the marker went between the look and the lock: nothing to undo
    printLine("已恢复原文件：" + file.string());
    ++tally.restored;
    const SidecarOutcome& sidecar = (*restored)->sidecar;
    if (sidecar.kind == SidecarOutcome::Kind::written) printLine("已恢复附属 XML 文件：" + sidecar.path.string());
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
            showStatus("正在取消…");
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
                                   : "已中断：尚未开始处理文件");
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
        printError(std::string("kelvatta：") + kFolderAccessFailure);
        return kExitUsage;
    }
    RestoreTally tally;
    for (const fs::path& url : *files) {
        if (stopSignal.load()) break;
        const bool named = std::find(urls.begin(), urls.end(), url) != urls.end();
        restoreClip(fs::path(urlPath(url)), named, tally);
    }
    if (stopSignal.load()) {
        printError("已中断：已恢复 " + std::to_string(tally.restored) + " 个文件");
        return 128 + stopSignal.load();
    }
    if (tally.restored == 0 && tally.failed == 0) printError("kelvatta：没有找到原地修改过的视频文件");
    return tally.failed == 0 && tally.restored > 0 ? kExitSuccess : kExitFailure;
}

const char* usageText()
{
    return "用法：kelvatta [--save-as | --in-place] [--timecode HH:MM:SS:FF] [--keep-going] 路径...\n"
           "      kelvatta --restore 路径...\n"
           "      kelvatta --show 路径...\n"
           "      kelvatta [--window [路径...]]\n"
           "把视频文件的起始时间码改为 00:00:00:00（或 --timecode 给出的值），不重新编码。\n"
           "默认在原处替换每个文件；最多同时处理 3 个文件，第一个失败会取消尚未开始的文件。\n"
           "文件夹会逐层搜索，其中名为“已修改时间码”的文件夹和本程序留下的 temp_ 文件不处理。\n"
           "各处时间码都已从该值开始（且带有 timecode 元数据项）的文件不再改写，算作已处理；\n"
           "另存为时，“已修改时间码”中已是该文件结果的副本予以保留。\n"
           "\n"
           "  --save-as     把结果写入各文件旁的“已修改时间码”文件夹，原文件不变\n"
           "  --in-place    就地修改原文件：只追加新的 moov 并改写时间码字节，不复制媒体数据，\n"
           "                并在文件内保留撤销记录；文件结构不允许时改用临时文件替换\n"
           "  --timecode HH:MM:SS:FF\n"
           "                起始时间码（丢帧计数也可写作 HH:MM:SS;FF），各种模式均可用；\n"
           "                帧号超出文件的帧率或是丢帧计数跳过的编号时，该文件失败且不作改动\n"
           "  --keep-going  有文件失败时继续处理其余文件，不取消任何文件\n"
           "  --restore     把就地修改过的文件逐字节恢复为原样\n"
           "  --show        只读取并列出每个文件各处的时间码、帧率和丢帧方式，以及各处是否一致\n"
           "  --window      打开窗口并带上给出的路径，点击“开始处理”后才处理（“打开方式”用它）\n"
           "  --help        显示本说明\n"
           "  --version     显示版本\n"
           "\n"
           "处理时标准输出只有日志。退出状态：0 全部成功；1 有文件失败（--show：有文件无法读取）\n"
           "或未找到视频文件；2 用法错误或路径无法访问；被中断时为 128 + 信号编号（Ctrl-C 130，\n"
           "SIGTERM 143，SIGHUP 129），正在处理的文件取消，原文件不变。未全部完成时，标准错误的\n"
           "最后一行列出失败的文件和尚未开始的文件（前 3 个），即需要重新处理的文件。";
}

namespace {

// The value of --timecode: "HH:MM:SS:FF" or, drop-frame, "HH:MM:SS;FF", hours below 24, minutes and
// seconds below 60. Whether a clip counts that many frames is for each clip to say.
ErrorOr<std::string> checkedTimecode(const std::string& value)
{
    const auto usage = [&](const std::string& why) {
        return Error{"CommandLine", kExitUsage, "时间码“" + value + "”" + why};
    };
    const auto digits = [&](size_t at) { return std::isdigit(static_cast<unsigned char>(value[at])) != 0; };
    bool wellFormed = value.size() == 11 && value[2] == ':' && value[5] == ':' && (value[8] == ':' || value[8] == ';');
    for (size_t at : {0u, 1u, 3u, 4u, 6u, 7u, 9u, 10u}) wellFormed = wellFormed && digits(at);
    if (!wellFormed) return usage("的写法不对：应写作 HH:MM:SS:FF，丢帧计数可写作 HH:MM:SS;FF（如 01:00:00:00）");
    const auto field = [&](size_t at) { return (value[at] - '0') * 10 + (value[at + 1] - '0'); };
    if (field(0) >= 24) return usage("超出范围：小时应为 00 至 23");
    if (field(3) >= 60) return usage("超出范围：分钟应为 00 至 59");
    if (field(6) >= 60) return usage("超出范围：秒应为 00 至 59");
    return value;
}

}  // namespace

ErrorOr<CommandLine> parseCommandLine(const std::vector<std::string>& arguments)
{
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
                return Error{"CommandLine", kExitUsage, "--timecode 后面缺少时间码（如 01:00:00:00）"};
            commandLine.timecode = KV_TRY(checkedTimecode(joined ? argument.substr(11) : arguments[++i]));
        } else if (argument == "--show" || argument == "--restore") {
            // One action a run: a look and a restore asked together are a usage error, not whichever
            // came last.
            const auto action = argument == "--show" ? CommandLine::Action::show : CommandLine::Action::restore;
            if (commandLine.action != CommandLine::Action::run && commandLine.action != action)
                return Error{"CommandLine", kExitUsage, "--show 与 --restore 不能同用"};
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
            return Error{"CommandLine", kExitUsage, "未知选项：" + argument};
        }
    }
    if (window) {
        // The window's own choices are made in it: its files go as a drop does.
        if (commandLine.action != CommandLine::Action::run || commandLine.saveAs || commandLine.inPlace ||
            commandLine.keepGoing || commandLine.timecode)
            return Error{"CommandLine", kExitUsage, "--window 只能与路径同用"};
        commandLine.action = CommandLine::Action::window;
        return commandLine;
    }
    if (commandLine.paths.empty()) return Error{"CommandLine", kExitUsage, "缺少要处理的路径"};
    if (commandLine.inPlace && commandLine.saveAs)
        return Error{"CommandLine", kExitUsage, "--in-place 只用于替换原文件，不能与 --save-as 同用"};
    if (commandLine.action == CommandLine::Action::restore &&
        (commandLine.inPlace || commandLine.saveAs || commandLine.timecode))
        return Error{"CommandLine", kExitUsage, "--restore 不能与 --save-as、--in-place 或 --timecode 同用"};
    if (commandLine.action == CommandLine::Action::show &&
        (commandLine.inPlace || commandLine.saveAs || commandLine.timecode))
        return Error{"CommandLine", kExitUsage, "--show 只读取文件，不能与 --save-as、--in-place 或 --timecode 同用"};
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
        printError("kelvatta：" + parsed.error().localizedDescription);
        writeError(usageText());
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
    case CommandLine::Action::window: printError("kelvatta：本程序构建时不含窗口"); return kExitUsage;
    case CommandLine::Action::run:
    case CommandLine::Action::restore:
    case CommandLine::Action::show: break;
    }
    auto urls = resolvePaths(parsed->paths);
    if (urls.isError()) {
        printError("kelvatta：" + urls.error().localizedDescription);
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
