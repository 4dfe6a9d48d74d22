#include "app/window_shell.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QIcon>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <tuple>
#include <vector>

#include "app/app_texts.h"
#include "app/command_line.h"
#include "app/terminal_status.h"
#include "app/running_exports.h"
#include "intake/opened_files.h"
#include "platform/operation_queue.h"
#include "ui/batch_end_notice.h"
#include "ui/content_widget.h"
#include "ui/desktop_notifier.h"
#include "ui/file_dialog_folder_panel.h"
#include "ui/folder_icon.h"
#include "ui/qt_main_queue.h"
#include "ui/qt_translations.h"
#include "ui/style.h"

namespace kelvatta {
namespace {

std::string noWindowMessage(const std::string& reason)
{
    return app_texts::cannotOpenWindow(reason) + app_texts::withoutWindow();
}

bool isSet(const char* value) { return value && *value; }

// Which display the environment names, for the message when it cannot be reached.
std::string namedDisplays(const std::function<const char*(const char*)>& getenv)
{
    std::string named;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = getenv(name);
        if (!isSet(value)) continue;
        named += (named.empty() ? "" : "，") + std::string(name) + "=" + value;
    }
    return named;
}

// Qt ends the program when no platform can be started, after warnings in its own words. While Qt
// starts, its messages are held back: when it cannot start, we say why in ours, with our status,
// before Qt aborts; when it can, they are passed on as usual.
QtMessageHandler previousMessageHandler = nullptr;
std::vector<std::tuple<QtMsgType, std::string, QString>> heldMessages;  // type, category, text

void onMessageWhileStarting(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtFatalMsg) {
        const std::string named = namedDisplays(::getenv);
        writeErrorLine(noWindowMessage(app_texts::noDisplayServer(named)));
        std::_Exit(kExitUsage);
    }
    heldMessages.emplace_back(type, context.category ? context.category : "", message);
}

void passOnHeldMessages()
{
    for (const auto& [type, category, message] : heldMessages) {
        const QMessageLogContext context(nullptr, 0, nullptr, category.c_str());
        if (previousMessageHandler) previousMessageHandler(type, context, message);
        else qt_message_output(type, context, message);
    }
    heldMessages.clear();
}

// The write end of the pipe through which the stop signals (Ctrl-C, SIGTERM, SIGHUP) reach the event loop.
std::atomic<int> stopSignalPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    (void)!::write(stopSignalPipe.load(), "s", 1);
    errno = saved;
}

// Ctrl-C, a polite kill or the terminal going away closes the window as its close button does, so
// that a batch under way is cancelled and settled instead of being cut off in the middle of a file.
// A second signal ends the program at once.
class StopSignals {
public:
    explicit StopSignals(QWidget& window)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        readEnd_ = fds[0];
        stopSignalPipe.store(fds[1]);
        notifier_ = std::make_unique<QSocketNotifier>(readEnd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, &window, [this, &window] {
            char bytes[16];
            while (::read(readEnd_, bytes, sizeof bytes) > 0) {
            }
            window.close();
        });
        struct sigaction action = {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = static_cast<int>(SA_RESTART | SA_RESETHAND);  // SA_RESETHAND is the sign bit
        for (int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
    }
    ~StopSignals()
    {
        if (readEnd_ < 0) return;
        for (int signal : kStopSignals) ::signal(signal, SIG_DFL);
        notifier_.reset();
        ::close(stopSignalPipe.exchange(-1));
        ::close(readEnd_);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    int readEnd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

std::optional<std::string> missingDisplay(const std::function<const char*(const char*)>& getenv)
{
    const bool x11 = isSet(getenv("DISPLAY"));
    const bool wayland = isSet(getenv("WAYLAND_DISPLAY"));
    const char* platforms = getenv("QT_QPA_PLATFORM");
    if (!isSet(platforms)) {
        if (x11 || wayland) return std::nullopt;
        return app_texts::noDisplaySet();
    }
    // A list of platforms to try in turn, each with its options after a colon: "wayland;xcb".
    std::string_view rest = platforms;
    while (!rest.empty()) {
        const size_t end = rest.find(';');
        std::string_view entry = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const std::string_view name = entry.substr(0, entry.find(':'));
        if (name.empty()) continue;
        if (name == "xcb") {
            if (x11) return std::nullopt;
        } else if (name.substr(0, 7) == "wayland") {
            if (wayland) return std::nullopt;
        } else {
            return std::nullopt;  // offscreen, minimal, vnc, eglfs, linuxfb: no display server needed
        }
    }
    return app_texts::platformsWithoutDisplay(platforms);
}

ProgramWindow::ProgramWindow(VideoProcessor::SessionFactory makeSession, FolderPanelFactory makePanel)
    : exports_(RunningExports::create())
{
    ContentView view(std::make_shared<VideoProcessor>(exports_->sessionFactory(std::move(makeSession))));
    widget_ = std::make_unique<ui::ContentWidget>(std::move(view),
                                                  makePanel ? std::move(makePanel) : ui::fileDialogFolderPanels());
    widget_->setWindowTitle(QStringLiteral("Kelvatta"));
    notice_ = std::make_unique<ui::BatchEndNotice>(widget_->view(), *widget_);
}

ProgramWindow::~ProgramWindow() = default;

const ContentView& ProgramWindow::view() const { return widget_->view(); }

void ProgramWindow::show()
{
    widget_->show();
    widget_->setFixedSize(ui::kWindowWidth, ui::kWindowHeight);
}

void ProgramWindow::open(const std::vector<std::filesystem::path>& paths) { (void)openPaths(view(), paths); }

bool ProgramWindow::settle(std::chrono::milliseconds timeout)
{
    OperationQueue& queue = view().operationQueue();
    const auto ended = [&] { return queue.operationCount() == 0; };
    if (ended()) return true;
    queue.cancelAllOperations();
    exports_->cancelAll();

    // The exports end on their own threads and finish through the main queue, that is, this loop.
    const QDeadlineTimer deadline(static_cast<qint64>(timeout.count()));
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (ended() || deadline.hasExpired()) loop.quit();
    });
    poll.start();
    loop.exec();
    return ended();
}

int runWindow(char* program, const std::vector<std::string>& paths)
{
    if (auto reason = missingDisplay(::getenv)) {
        writeErrorLine(noWindowMessage(*reason));
        return kExitUsage;
    }
    // A reader of the log that goes away must not end the program in the middle of a file.
    ::signal(SIGPIPE, SIG_IGN);

    previousMessageHandler = qInstallMessageHandler(onMessageWhileStarting);
    // Qt reads only the program's name: a path is never taken for one of Qt's options.
    static char defaultName[] = "kelvatta";
    int argc = 1;
    char* argv[] = {program ? program : defaultName, nullptr};
    QApplication app(argc, argv);
    qInstallMessageHandler(previousMessageHandler);
    passOnHeldMessages();
    ui::installQtTranslations(app);
    QApplication::setApplicationName(QStringLiteral("Kelvatta"));
    QApplication::setDesktopFileName(QStringLiteral(KELVATTA_APP_ID));
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(ui::folderWithPlusImage(256, ui::blueColor()))));
    QApplication::setFont(ui::bodyFont());

    ui::QtMainQueue mainQueue;
    ProgramWindow window;
    window.notice().setNotifier(ui::sessionBusNotifier(QStringLiteral(KELVATTA_APP_ID)));
    StopSignals stopSignals(window.widget());
    window.show();
    if (!paths.empty()) window.open(std::vector<std::filesystem::path>(paths.begin(), paths.end()));
    const int status = app.exec();
    window.settle();
    return status;
}

}  // namespace kelvatta
