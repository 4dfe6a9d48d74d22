// The program's shell: when it can open its window, the program without a display, closing the
// window during a batch, and what `make install` puts into the menus.
#include <QImage>
#include <QStandardPaths>
#include <QtTest>
#include <fstream>
#include <map>
#include <vector>
#include <string>

#include "app/command_line.h"
#include "app/window_shell.h"
#include "operations/batch_run.h"
#include "platform/dispatch.h"
#include "platform/operation_queue.h"
#include "support/fake_session.h"
#include "support/process.h"
#include "ui/content_widget.h"
#include "ui/qt_main_queue.h"
#include "ui_test_support.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

// Runs the built program through env(1), with the environment changed by envArguments ("-u NAME" removes,
// "NAME=VALUE" sets).
ProgramRun runKelvattaWith(std::vector<std::string> envArguments, const ProgramOptions& options = {})
{
    envArguments.insert(envArguments.begin(), "/usr/bin/env");
    envArguments.push_back(kelvattaPath());
    return runProgram(envArguments, options);
}

std::map<std::string, std::string> desktopEntry(const fs::path& file)
{
    std::map<std::string, std::string> keys;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos && line[0] != '#') keys[line.substr(0, eq)] = line.substr(eq + 1);
    return keys;
}

}  // namespace

class ShellTests : public QObject {
    Q_OBJECT

private slots:
    void windowNeedsADisplayUnlessThePlatformNeedsNone()
    {
        struct Case {
            const char* display;
            const char* wayland;
            const char* platform;
            bool window;
        };
        const Case cases[] = {
            {"", "", nullptr, false},
            {":0", nullptr, nullptr, true},
            {nullptr, "wayland-0", "", true},
            {nullptr, nullptr, "offscreen:fontengine=freetype", true},
            {nullptr, nullptr, "xcb", false},
            {":0", nullptr, "wayland", false},
            {":0", nullptr, "wayland;xcb", true},
            {nullptr, nullptr, "wayland;xcb", false},
        };
        for (const auto& c : cases) {
            const auto missing = missingDisplay([&](const char* name) -> const char* {
                const std::string_view key = name;
                if (key == "DISPLAY") return c.display;
                if (key == "WAYLAND_DISPLAY") return c.wayland;
                if (key == "QT_QPA_PLATFORM") return c.platform;
                return nullptr;
            });
            QVERIFY2(missing.has_value() != c.window, c.platform ? c.platform : "(no platform)");
            if (missing) QVERIFY(!missing->empty());
        }
    }

    void programWithoutPathsAndWithoutDisplaySaysHowToUseIt()
    {
        // No display at all; then displays that are named but cannot be reached, where Qt would abort
        // with its own words (the platform plugins it has, and that reinstalling may help).
        const std::vector<std::string> noDisplay = {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
        for (const auto& environment : {noDisplay,
                                        std::vector<std::string>{"-u", "WAYLAND_DISPLAY", "DISPLAY=:97", "QT_QPA_PLATFORM=xcb"},
                                        std::vector<std::string>{"-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", "DISPLAY=:97"}}) {
            auto run = runKelvattaWith(environment);
            QCOMPARE(run.status, 2);
            QCOMPARE(QString::fromStdString(run.out), QString());
            QVERIFY2(run.err.starts_with("kelvatta：无法打开窗口："), run.err.c_str());
            QVERIFY(run.err.ends_with(std::string(usageText()) + "\n"));
            if (environment != noDisplay) QVERIFY2(run.err.find("DISPLAY=:97") != std::string::npos, run.err.c_str());
            QVERIFY2(run.err.find("plugin") == std::string::npos, run.err.c_str());
        }
    }

    // Ctrl-C closes the window as its close button does. Started with standard input closed, the
    // program has it open on /dev/null, so that no file it opens takes its number.
    void ctrlCClosesTheWindowAndTheProgramEndsNormally()
    {
        ProgramOptions options;
        options.stopOn = "OperationQueue 最大并发数";  // printed once the window has appeared
        options.closedDescriptor = 0;
        std::string standardInput;
        options.whileStopped = [&](const ProgramRun& run) {
            std::error_code ec;
            standardInput = fs::read_symlink("/proc/" + std::to_string(run.pid) + "/fd/0", ec).string();
            ::kill(run.pid, SIGINT);
        };
        options.timeout = std::chrono::seconds(30);
        auto run = runKelvattaWith({"QT_QPA_PLATFORM=offscreen"}, options);
        QCOMPARE(QString::fromStdString(standardInput), QStringLiteral("/dev/null"));
        QCOMPARE(run.status, 0);
    }

    void closingTheWindowDuringABatchCancelsItsExports()
    {
        ui::QtMainQueue mainQueue;
        TempDir dir;
        QList<QUrl> urls;
        for (int n = 1; n <= 5; ++n) {
            writeFile(dir / ("C" + std::to_string(n) + ".mp4"), "original");
            urls.push_back(fileUrl(dir / ("C" + std::to_string(n) + ".mp4")));
        }
        FakeSessions sessions;
        sessions.hold = true;  // until cancelled
        ProgramWindow window(sessions.factory());
        window.show();
        QVERIFY(dropOn(part(&window.widget(), "dropZone"), urls).accepted);
        QTRY_VERIFY(!sessions.started().empty());

        window.widget().close();
        QVERIFY(window.settle(std::chrono::seconds(20)));
        QCOMPARE(window.view().operationQueue().operationCount(), size_t(0));
        QVERIFY(sessions.started().size() <= size_t(operationQueueWidth(activeProcessorCount())));  // none after the close
        for (int n = 1; n <= 5; ++n) QCOMPARE(readFile(dir / ("C" + std::to_string(n) + ".mp4")), std::string("original"));
    }

    void installPutsTheProgramIntoTheMenus()
    {
        TempDir prefix;
        auto install = runProgram({CMAKE_COMMAND, "--install", KELVATTA_BUILD_DIR, "--prefix", prefix.path().string()});
        QVERIFY2(install.status == 0, install.err.c_str());

        QVERIFY(fs::is_regular_file(prefix / "bin/kelvatta"));
        const fs::path entry = prefix / "share/applications/kelvatta.desktop";
        auto keys = desktopEntry(entry);
        QCOMPARE(QString::fromStdString(keys["Name"]), QStringLiteral("Kelvatta"));
        QCOMPARE(QString::fromStdString(keys["Exec"]), QStringLiteral("kelvatta"));
        QCOMPARE(QString::fromStdString(keys["Icon"]), QStringLiteral("kelvatta"));
        QCOMPARE(QString::fromStdString(keys["Categories"]), QStringLiteral("AudioVideo;Video;"));
        for (int size : {48, 128, 256}) {
            const QImage icon(QString::fromStdString(
                (prefix / "share/icons/hicolor" / (std::to_string(size) + "x" + std::to_string(size)) / "apps/kelvatta.png").string()));
            QCOMPARE(icon.size(), QSize(size, size));
        }
        // The link line's page, once installed.
        QVERIFY(fs::is_regular_file(prefix / "share/doc/kelvatta/user-guide.html"));

        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        QVERIFY2(!validator.isEmpty(), "desktop-file-validate is missing: make deps installs it");
        auto validation = runProgram({validator.toStdString(), entry.string()});
        QVERIFY2(validation.status == 0 && validation.out.empty(), (validation.out + validation.err).c_str());
    }
};

QTEST_MAIN(ShellTests)
#include "shell_tests.moc"
