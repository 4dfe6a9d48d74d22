// The window's content: its initial look, the progress block and error line drawn from the view
// state, drops, the choose-folder button, the save-as check box and the link line.
#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <algorithm>
#include <string>
#include <vector>

#include "app/app_test_support.h"
#include "app/window_shell.h"
#include "operations/batch_run.h"
#include "operations/test_support.h"
#include "platform/dispatch.h"
#include "platform/operation_queue.h"
#include "support/log_capture.h"
#include "ui/content_widget.h"
#include "ui/file_dialog_folder_panel.h"
#include "ui/qt_main_queue.h"
#include "ui_test_support.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

constexpr int kBatchTimeoutMs = 60000;

// The window over a processor that rewrites nothing and holds each file until the test ends it.
struct FakeWindow {
    std::shared_ptr<FakeProcessor> processor = std::make_shared<FakeProcessor>();
    ContentView view{processor};
    AnsweringPanels panels;
    ui::ContentWidget widget{view, panels.factory()};

    FakeWindow() { widget.show(); }
    QWidget* zone() { return part(&widget, "dropZone"); }
    // Ends every file held so far, each with success, and waits for the batch's end.
    bool finishBatch()
    {
        while (processor->complete({}, Result::success())) {
        }
        return QTest::qWaitFor([&] { return !view.showProgressBar(); }, 5000);
    }
};

bool anyLineMentions(const LogCapture& log, const std::string& text)
{
    const auto lines = log.lines();
    return std::any_of(lines.begin(), lines.end(), [&](const auto& line) { return line.find(text) != std::string::npos; });
}

// Whether every part of the window lies inside it.
bool partsInside(QWidget* window)
{
    for (const char* name : {"dropZone", "saveAsToggle", "progressBlock", "errorLine", "creditLine", "linkLine", "warning"}) {
        QWidget* widget = part(window, name);
        if (!widget || !widget->isVisibleTo(window)) continue;
        const QRect area(widget->mapTo(window, QPoint(0, 0)), widget->size());
        if (!window->rect().contains(area)) {
            qWarning("%s lies at %d,%d %dx%d", name, area.x(), area.y(), area.width(), area.height());
            return false;
        }
    }
    return true;
}

}  // namespace

class WindowTests : public QObject {
    Q_OBJECT

public slots:
    void recordOpened(const QUrl& url) { opened_.push_back(url); }

private slots:
    void initTestCase() { mainQueue_ = std::make_unique<ui::QtMainQueue>(); }
    void cleanupTestCase() { mainQueue_.reset(); }

    void initialWindowAndItsFirstAppearance()
    {
        LogCapture log;
        ProgramWindow window;
        window.show();
        QWidget* w = &window.widget();
        QVERIFY(QTest::qWaitForWindowExposed(w));

        QCOMPARE(w->size(), QSize(450, 400));
        QCOMPARE(w->minimumSize(), QSize(450, 400));
        QCOMPARE(w->maximumSize(), QSize(450, 400));
        QCOMPARE(part(w, "dropZone")->size(), QSize(350, 150));
        QVERIFY(!part(w, "progressBlock")->isVisible());
        QVERIFY(!part(w, "errorLine")->isVisible());
        QVERIFY(part(w, "chooseFolderButton")->isEnabled());
        auto* toggle = part<QCheckBox>(w, "saveAsToggle");
        QVERIFY(toggle->isEnabled());
        QVERIFY(!toggle->isChecked());
        QVERIFY(partsInside(w));

        // The queue is sized when the window first appears, and only then.
        const long width = operationQueueWidth(activeProcessorCount());
        QCOMPARE(window.view().operationQueue().maxConcurrentOperationCount(), width);
        w->hide();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QVERIFY(log.lines() == std::vector<std::string>{"OperationQueue 最大并发数：" + std::to_string(width)});
    }

    void progressBlockFollowsTheBatchAndLocksTheControls()
    {
        FakeWindow f;
        QWidget* w = &f.widget;
        auto* button = part<QPushButton>(w, "chooseFolderButton");
        auto* toggle = part<QCheckBox>(w, "saveAsToggle");
        auto* bar = part<QProgressBar>(w, "progressBar");

        f.view.setProgress(0);
        f.view.setMaxProgress(5);
        f.view.setShowProgressBar(true);
        f.view.setProgress(2);
        QVERIFY(part(w, "progressBlock")->isVisible());
        QCOMPARE(part<QLabel>(w, "progressText")->text(), QStringLiteral("正在处理文件 2 / 5"));
        QCOMPARE(bar->value() - bar->minimum(), (bar->maximum() - bar->minimum()) * 2 / 5);
        QVERIFY(partsInside(w));

        // Locked: neither the button nor the check box reacts.
        QVERIFY(!button->isEnabled());
        QVERIFY(!toggle->isEnabled());
        QTest::mouseClick(button, Qt::LeftButton);
        QTest::mouseClick(toggle, Qt::LeftButton);
        QVERIFY(f.panels.made.empty());
        QVERIFY(!f.view.saveAs());

        f.view.setProgress(5);
        QCOMPARE(part<QLabel>(w, "progressText")->text(), QStringLiteral("正在处理文件 5 / 5"));
        QCOMPARE(bar->value(), bar->maximum());

        f.view.setShowProgressBar(false);
        QVERIFY(!part(w, "progressBlock")->isVisible());
        QVERIFY(button->isEnabled());
        QVERIFY(toggle->isEnabled());
    }

    void errorLineOnlyWhenBothFieldsSaySo()
    {
        struct Case {
            bool showAlert;
            std::optional<std::string> message;
            QString shown;  // empty: no error line
        };
        const std::vector<Case> cases = {
            {true, std::nullopt, {}},
            {false, "无法加载文件: 未知错误", {}},
            {true, "无法加载文件: 未知错误", QStringLiteral("错误: 无法加载文件: 未知错误")},
            // Shown as written, never read as markup: file names may hold anything.
            {true, "文件“<b>a</b>.mp4”不是可识别的视频文件", QStringLiteral("错误: 文件“<b>a</b>.mp4”不是可识别的视频文件")},
        };
        FakeWindow f;
        auto* line = part<QLabel>(&f.widget, "errorLine");
        for (const auto& c : cases) {
            f.view.setErrorMessage(c.message);
            f.view.setShowAlert(c.showAlert);
            QCOMPARE(line->isVisible(), !c.shown.isEmpty());
            if (c.shown.isEmpty()) continue;
            QCOMPARE(line->text(), c.shown);
            QCOMPARE(line->textFormat(), Qt::PlainText);
            QVERIFY(partsInside(&f.widget));
        }
        // A long message wraps inside the window.
        f.view.setErrorMessage(std::string(20, 'x') + std::string(40, ' ') + "替换原文件失败：文件名太长了，太长了，太长了，太长了");
        QVERIFY(line->isVisible());
        QVERIFY(partsInside(&f.widget));
    }

    void dropOfGeneratedClipsRunsABatchToItsEnd()
    {
        ScratchFolder folder;
        QVERIFY(makeClip(folder / "C0001.MP4"));
        QVERIFY(makeClip(folder / "C0002.MP4", "01:02:03:04"));
        LogCapture log;
        ProgramWindow window;
        window.show();
        QWidget* w = &window.widget();
        ContentView view = window.view();
        std::vector<bool> blockShown;  // at each write of showProgressBar, once the window has redrawn
        const long token = view.addObserver([&](std::string_view field) {
            if (field == "showProgressBar") blockShown.push_back(part(w, "progressBlock")->isVisibleTo(w));
        });

        auto outcome = dropOn(part(w, "dropZone"), {fileUrl(folder.path())});
        QVERIFY(outcome.entered);
        QVERIFY(outcome.accepted);
        QCOMPARE(outcome.action, Qt::CopyAction);  // never a move: the files stay where they are
        QTRY_VERIFY_WITH_TIMEOUT(anyLineMentions(log, "所有文件处理完成") || anyLineMentions(log, "处理文件失败："),
                                 kBatchTimeoutMs);
        QTRY_COMPARE(view.operationQueue().operationCount(), size_t(0));
        view.removeObserver(token);

        // Shown when the batch started, gone at its end (each failure hides it again).
        QVERIFY(blockShown.size() >= 2);
        QVERIFY(blockShown.front());
        QVERIFY(std::none_of(blockShown.begin() + 1, blockShown.end(), [](bool shown) { return shown; }));
        QVERIFY(!part(w, "progressBlock")->isVisible());
        QVERIFY(part(w, "chooseFolderButton")->isEnabled());
        QVERIFY(!part(w, "errorLine")->isVisible());
        QCOMPARE(QString::fromStdString(formatTimecode(folder / "C0001.MP4")), QStringLiteral("00:00:00:00"));
        QCOMPARE(QString::fromStdString(formatTimecode(folder / "C0002.MP4")), QStringLiteral("00:00:00:00"));
    }

    void dropsTakenAndRefused()
    {
        TempDir dir;
        writeFile(dir / "a.mp4", "a");
        writeFile(dir / "b.mp4", "b");
        FakeWindow f;
        LogCapture log;

        // A source that only offers to move its files, and an address that is no file, are refused.
        auto moveOnly = dropOn(f.zone(), {fileUrl(dir / "a.mp4")}, Qt::MoveAction);
        QVERIFY(!moveOnly.entered);
        QVERIFY(!moveOnly.accepted);
        QVERIFY(!dropOn(f.zone(), {QUrl(QStringLiteral("https://example.org/a.mp4"))}).accepted);
        QTest::qWait(50);
        QVERIFY(log.lines().empty());

        auto first = dropOn(f.zone(), {fileUrl(dir / "a.mp4")});
        QVERIFY(first.accepted);
        QCOMPARE(first.action, Qt::CopyAction);
        QTRY_COMPARE(f.processor->heldCount(), size_t(1));
        QVERIFY(f.view.showProgressBar());

        // While the batch runs, a drag is still welcome over the zone (it looks the same), but the drop
        // is refused and nothing of it is loaded.
        auto during = dropOn(f.zone(), {fileUrl(dir / "b.mp4")});
        QVERIFY(during.entered);
        QVERIFY(!during.accepted);
        QVERIFY(f.finishBatch());
        QVERIFY(!anyLineMentions(log, "b.mp4"));
        QVERIFY(f.processor->calledFiles() == std::vector<std::filesystem::path>{dir / "a.mp4"});

        // After the batch, drops are taken again.
        QVERIFY(dropOn(f.zone(), {fileUrl(dir / "b.mp4")}).accepted);
        QTRY_COMPARE(f.processor->heldCount(), size_t(1));
        QVERIFY(f.finishBatch());
        QCOMPARE(f.processor->calls().size(), size_t(2));
    }

    void chooseFolderButtonWithAnsweringPanel()
    {
        TempDir dir;
        std::filesystem::create_directory(dir / "sub");
        writeFile(dir / "x.mp4", "x");
        writeFile(dir / "sub" / "y.MOV", "y");
        writeFile(dir / "notes.txt", "n");
        FakeWindow f;
        LogCapture log;
        auto* button = part<QPushButton>(&f.widget, "chooseFolderButton");

        // Cancelled: nothing changes and nothing is printed.
        f.panels.response = FolderPanel::Response::cancel;
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(f.panels.made.size(), size_t(1));
        QVERIFY(f.panels.made[0].directories && !f.panels.made[0].files && !f.panels.made[0].multiple);
        QTest::qWait(50);
        QVERIFY(log.lines().empty());
        QVERIFY(f.view.folderPath().empty());

        // A folder chosen: searched below, its videos processed.
        f.panels.response = FolderPanel::Response::ok;
        f.panels.answer = dir.path();
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(f.view.folderPath(), dir.path().string());
        QTRY_COMPARE(f.processor->heldCount(), size_t(2));
        QVERIFY((f.processor->calledFiles() == std::vector<std::filesystem::path>{dir / "sub" / "y.MOV", dir / "x.mp4"}));

        // No second panel while the batch runs.
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(f.panels.made.size(), size_t(2));
        QVERIFY(f.finishBatch());
    }

    void fileDialogPanelChoosesOneFolder()
    {
        TempDir dir;
        std::filesystem::create_directory(dir / "片段");
        for (bool accept : {false, true}) {
            auto panel = ui::fileDialogFolderPanels()();
            panel->setCanChooseDirectories(true);
            panel->setCanChooseFiles(false);
            panel->setAllowsMultipleSelection(false);
            QFileDialog* shown = nullptr;
            QTimer::singleShot(0, [&] {
                shown = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                if (!shown) return;
                shown->setDirectory(QString::fromStdString((dir / "片段").string()));
                QDialog* dialog = shown;  // as the dialog's own buttons do
                if (accept)
                    dialog->accept();
                else
                    dialog->reject();
            });
            const auto response = panel->runModal();
            QVERIFY(shown);
            QCOMPARE(shown->fileMode(), QFileDialog::Directory);
            QVERIFY(shown->testOption(QFileDialog::ShowDirsOnly));
            if (!accept) {
                QCOMPARE(response, FolderPanel::Response::cancel);
                continue;
            }
            QCOMPARE(response, FolderPanel::Response::ok);
            QVERIFY(panel->URL().has_value());
            QCOMPARE(QString::fromStdString(panel->URL()->string()), QString::fromStdString((dir / "片段").string()));
        }
    }

    void saveAsReachesTheNextBatch()
    {
        TempDir dir;
        writeFile(dir / "a.mp4", "a");
        FakeWindow f;
        auto* toggle = part<QCheckBox>(&f.widget, "saveAsToggle");

        for (bool saveAs : {true, false}) {
            QTest::mouseClick(toggle, Qt::LeftButton);
            QCOMPARE(f.view.saveAs(), saveAs);
            QVERIFY(dropOn(f.zone(), {fileUrl(dir / "a.mp4")}).accepted);
            QTRY_COMPARE(f.processor->heldCount(), size_t(1));
            QCOMPARE(f.processor->calls().back().saveAs, saveAs);
            QVERIFY(f.finishBatch());
        }
        // A write from elsewhere shows in the check box.
        f.view.setSaveAs(true);
        QVERIFY(toggle->isChecked());
    }

    void linkLineOpensTheProgramsPage()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "recordOpened");
        opened_.clear();
        FakeWindow f;
        auto* link = part(&f.widget, "linkLine");
        QTest::mouseClick(link, Qt::LeftButton);
        // It works while a batch runs too.
        f.view.setShowProgressBar(true);
        QTest::mouseClick(link, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));

        QCOMPARE(opened_.size(), size_t(2));
        QCOMPARE(opened_[0], ui::projectPage());
        QVERIFY(QFileInfo::exists(opened_[0].toLocalFile()));  // here, the read-me of the source tree
        f.view.setShowProgressBar(false);
    }

private:
    std::unique_ptr<ui::QtMainQueue> mainQueue_;
    std::vector<QUrl> opened_;
};

QTEST_MAIN(WindowTests)
#include "window_tests.moc"
