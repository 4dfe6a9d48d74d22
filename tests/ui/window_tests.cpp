// The window's content: its initial look, the progress block and error line drawn from the view
// state, drops, the choose-folder button, the save-as check box and the link line.
#include <QAbstractButton>
#include <QAccessible>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>
#include <algorithm>
#include <string>
#include <tuple>
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
#include "ui/link_line.h"
#include "ui/qt_main_queue.h"
#include "ui/qt_translations.h"
#include "ui/style.h"
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
        return QTest::qWaitFor([&] { return view.takesInput(); }, 5000);
    }
};

std::string repeated(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

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
    void initTestCase()
    {
        // The file dialog keeps its settings under ~/.qttest, not in the user's own.
        QStandardPaths::setTestModeEnabled(true);
        mainQueue_ = std::make_unique<ui::QtMainQueue>();
        QVERIFY2(ui::installQtTranslations(*qApp), "Qt's translations are missing: make deps installs them");
    }
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
            {false, "无法加载文件：未知错误", {}},
            {true, "无法加载文件：未知错误", QStringLiteral("错误：无法加载文件：未知错误")},
            // Shown as written, never read as markup: file names may hold anything.
            {true, "文件“<b>a</b>.mp4”不是可识别的视频文件", QStringLiteral("错误：文件“<b>a</b>.mp4”不是可识别的视频文件")},
        };
        FakeWindow f;
        auto* line = part<QLabel>(&f.widget, "errorLine");
        auto* button = part<QPushButton>(&f.widget, "chooseFolderButton");
        auto* toggle = part(&f.widget, "saveAsToggle");
        const auto place = [&](QWidget* widget) { return QRect(widget->mapTo(&f.widget, QPoint(0, 0)), widget->size()); };
        const QRect buttonPlace = place(button), togglePlace = place(toggle);
        for (const auto& c : cases) {
            f.view.setErrorMessage(c.message);
            f.view.setShowAlert(c.showAlert);
            QCOMPARE(line->isVisible(), !c.shown.isEmpty());
            if (c.shown.isEmpty()) continue;
            QCOMPARE(line->text(), c.shown);
            QCOMPARE(line->textFormat(), Qt::PlainText);
            QVERIFY(partsInside(&f.widget));
        }
        const int lineHeight = line->height();

        // A message of any length stays on one line, elided in the middle, the whole of it in the
        // tooltip: every control keeps its place and does what it says.
        const std::string message = "导出失败：无法写入文件“temp_" + std::string(80, 'x') + "\n" + repeated("很长的名字", 30) +
                                    ".MP4”：磁盘空间不足";
        f.view.setErrorMessage(message);
        QApplication::processEvents();
        QVERIFY(line->isVisible());
        QVERIFY(partsInside(&f.widget));
        QCOMPARE(line->height(), lineHeight);
        QCOMPARE(place(button), buttonPlace);
        QCOMPARE(place(toggle), togglePlace);
        QVERIFY2(line->text().startsWith(QStringLiteral("错误：导出失败：")) && line->text().contains(QChar(0x2026)) &&
                     line->text().endsWith(QStringLiteral("磁盘空间不足")) && !line->text().contains(QLatin1Char('\n')),
                 qPrintable(line->text()));
        QVERIFY(line->toolTip().contains(QStringLiteral("很长的名字很长的名字")));
        QCOMPARE(line->accessibleName(), QString::fromStdString("错误：" + message));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(f.panels.made.size(), size_t(1));
        QVERIFY(!f.view.saveAs());
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
        for (const char* name : {"a.mp4", "b.mp4", "c.mp4", "d.mp4"}) writeFile(dir / name, name);
        FakeWindow f;
        LogCapture log;
        auto* button = part(&f.widget, "chooseFolderButton");

        // A source that only offers to move its files, and an address that is no local file, are
        // refused from the moment they are dragged over the zone.
        auto moveOnly = dropOn(f.zone(), {fileUrl(dir / "a.mp4")}, Qt::MoveAction);
        QVERIFY(!moveOnly.entered);
        QVERIFY(!moveOnly.accepted);
        for (const char* address : {"https://example.org/a.mp4", "file://camera/DCIM/a.mp4"}) {
            auto web = dropOn(f.zone(), {QUrl(QString::fromLatin1(address))});
            QVERIFY(!web.entered && !web.accepted);
        }
        QTest::qWait(50);
        QVERIFY(log.lines().empty());

        auto first = dropOn(f.zone(), {fileUrl(dir / "a.mp4"), fileUrl(dir / "b.mp4"), fileUrl(dir / "c.mp4")});
        QVERIFY(first.accepted);
        QCOMPARE(first.action, Qt::CopyAction);
        QTRY_VERIFY(f.processor->heldCount() >= 2);
        QVERIFY(f.view.showProgressBar());

        // While the batch runs, and after its first failure while files of it still run (the progress
        // block hidden, the error line up), a drag is refused and nothing of it is loaded.
        const auto refused = [&] {
            auto during = dropOn(f.zone(), {fileUrl(dir / "d.mp4")});
            return !during.entered && !during.accepted && !button->isEnabled();
        };
        QVERIFY(refused());
        QVERIFY(f.processor->complete({}, Result::failure(exportError("坏文件"))));
        QTRY_VERIFY(part(&f.widget, "errorLine")->isVisible());
        QVERIFY(!part(&f.widget, "progressBlock")->isVisible());
        QVERIFY(refused());
        QVERIFY(f.finishBatch());
        QVERIFY(!anyLineMentions(log, "d.mp4"));
        QVERIFY(button->isEnabled());

        // After the batch, drops are taken again.
        QVERIFY(dropOn(f.zone(), {fileUrl(dir / "d.mp4")}).accepted);
        QTRY_COMPARE(f.processor->heldCount(), size_t(1));
        QVERIFY(f.finishBatch());
        QCOMPARE(f.processor->calls().back().file, dir / "d.mp4");
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

    // In Chinese, titled as the button, opened at the folder chosen last (at first, the home folder).
    void fileDialogPanelChoosesOneFolder()
    {
        TempDir dir;
        std::filesystem::create_directory(dir / "片段");
        const QString chosen = QString::fromStdString((dir / "片段").string());
        const auto panels = ui::fileDialogFolderPanels();
        struct Step {
            bool accept;
            QString opensAt;
        };
        for (const Step& step : {Step{false, QDir::homePath()}, Step{true, QDir::homePath()}, Step{false, chosen}}) {
            auto panel = panels();
            panel->setCanChooseDirectories(true);
            panel->setCanChooseFiles(false);
            panel->setAllowsMultipleSelection(false);
            QFileDialog* shown = nullptr;
            QString openedAt;
            QStringList buttons;
            QTimer::singleShot(0, [&] {
                shown = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                if (!shown) return;
                openedAt = shown->directory().absolutePath();
                for (auto* button : shown->findChildren<QPushButton*>()) buttons << button->text();
                shown->setDirectory(chosen);
                QDialog* dialog = shown;  // as the dialog's own buttons do
                if (step.accept)
                    dialog->accept();
                else
                    dialog->reject();
            });
            const auto response = panel->runModal();
            QVERIFY(shown);
            QCOMPARE(shown->windowTitle(), QStringLiteral("选择文件夹"));
            QCOMPARE(openedAt, step.opensAt);
            QVERIFY2(buttons.contains(QStringLiteral("取消")), qPrintable(buttons.join(u',')));
            QCOMPARE(shown->fileMode(), QFileDialog::Directory);
            QVERIFY(shown->testOption(QFileDialog::ShowDirsOnly));
            if (!step.accept) {
                QCOMPARE(response, FolderPanel::Response::cancel);
                continue;
            }
            QCOMPARE(response, FolderPanel::Response::ok);
            QVERIFY(panel->URL().has_value());
            QCOMPARE(QString::fromStdString(panel->URL()->string()), chosen);
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

    void linkLineOpensTheUserGuideOrSaysWhyNot()
    {
        LogCapture log;
        TempDir dir;
        writeFile(dir / "guide.html", "<p>说明</p>");
        FakeWindow f;
        ui::ContentWidget missing(f.view, f.panels.factory(), fileUrl(dir / "gone.html"));
        ui::ContentWidget noOpener(f.view, f.panels.factory(), fileUrl(dir / "guide.html"));
        // Qt's offscreen platform opens nothing, as a desktop without an opener.
        for (auto* widget : {&missing, &noOpener}) QTest::mouseClick(part(widget, "linkLine"), Qt::LeftButton);
        QCOMPARE(part<QAbstractButton>(&missing, "linkLine")->text(), QStringLiteral("无法打开使用说明：找不到使用说明文件"));
        QCOMPARE(part<QAbstractButton>(&noOpener, "linkLine")->text(), QStringLiteral("无法打开使用说明：没有可以打开网页的程序"));
        QVERIFY(part(&missing, "linkLine")->toolTip().contains(QStringLiteral("gone.html")));
        QVERIFY(anyLineMentions(log, "无法打开使用说明：" + (dir / "gone.html").string()));

        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "recordOpened");
        opened_.clear();
        QTest::mouseClick(part(&noOpener, "linkLine"), Qt::LeftButton);  // tried again, it opens
        QCOMPARE(part<QAbstractButton>(&noOpener, "linkLine")->text(), QStringLiteral("使用说明"));
        auto* link = part(&f.widget, "linkLine");
        QTest::mouseClick(link, Qt::LeftButton);
        // It works while a batch runs too.
        f.view.setShowProgressBar(true);
        QTest::mouseClick(link, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));

        QCOMPARE(opened_.size(), size_t(3));
        QCOMPARE(opened_[1], ui::userGuidePage());
        QVERIFY(QFileInfo::exists(opened_[1].toLocalFile()));  // here, the guide of the source tree
        f.view.setShowProgressBar(false);
    }

    // Tab goes from the button to the check box to the link line; Return and Enter act on each as a
    // click does. Every control has a name for screen readers.
    void keyboardAndScreenReaders()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "recordOpened");
        opened_.clear();
        FakeWindow f;
        f.panels.response = FolderPanel::Response::cancel;
        f.widget.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f.widget));
        auto* button = part(&f.widget, "chooseFolderButton");
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Return);
        QCOMPARE(f.panels.made.size(), size_t(1));
        QTest::keyClick(button, Qt::Key_Tab);
        QVERIFY(part(&f.widget, "saveAsToggle")->hasFocus());
        QTest::keyClick(part(&f.widget, "saveAsToggle"), Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(f.view.saveAs());
        QTest::keyClick(part(&f.widget, "saveAsToggle"), Qt::Key_Tab);
        QVERIFY(part(&f.widget, "linkLine")->hasFocus());
        QTest::keyClick(part(&f.widget, "linkLine"), Qt::Key_Return);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(opened_.size(), size_t(1));

        f.view.setShowProgressBar(true);
        f.view.setErrorMessage("坏文件");
        f.view.setShowAlert(true);
        for (const char* name : {"dropZone", "chooseFolderButton", "saveAsToggle", "progressBar", "errorLine", "linkLine"}) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(part(&f.widget, name));
            QVERIFY2(accessible && !accessible->text(QAccessible::Name).isEmpty(), name);
        }
    }

    // Every text keeps a contrast of 4.5:1 with what lies behind it, in a light and in a dark palette.
    void textsStayReadableInLightAndDarkPalettes()
    {
        FakeWindow f;
        f.view.setShowProgressBar(true);
        f.view.setErrorMessage("坏文件");
        f.view.setShowAlert(true);
        const QPalette light = QApplication::palette();
        for (const QPalette& palette : {light, QPalette(QColor(45, 45, 48))}) {
            QApplication::setPalette(palette);
            QApplication::processEvents();
            const QImage image = f.widget.grab().toImage();
            // What is drawn behind a text: a pixel of the widget left of its centred text (of the check
            // box, right of it; of the link line, in the room around it).
            const auto behind = [&](QWidget* widget, QPoint at) { return image.pixelColor(widget->mapTo(&f.widget, at)); };
            const auto textOf = [](QWidget* widget) { return widget->palette().color(QPalette::Active, widget->foregroundRole()); };
            std::vector<std::tuple<const char*, QColor, QColor>> texts;
            for (const char* name : {"dropHint", "orLabel", "progressText", "errorLine", "creditLine", "warning"}) {
                QWidget* label = part(&f.widget, name);
                texts.emplace_back(name, textOf(label), behind(label, QPoint(10, label->height() / 2)));
            }
            QWidget* toggle = part(&f.widget, "saveAsToggle");
            texts.emplace_back("saveAsToggle", textOf(toggle), behind(toggle, QPoint(toggle->width() - 2, 1)));
            auto* button = part(&f.widget, "chooseFolderButton");
            texts.emplace_back("chooseFolderButton", button->palette().color(QPalette::Active, QPalette::ButtonText),
                               button->palette().color(QPalette::Button));
            auto* link = dynamic_cast<ui::LinkLine*>(part(&f.widget, "linkLine"));
            QVERIFY(link);
            texts.emplace_back("linkLine", link->textColor(), behind(link, QPoint(0, 0)));
            for (const auto& [name, text, background] : texts) {
                const double contrast = ui::contrastRatio(text, background);
                QVERIFY2(contrast >= 4.5, qPrintable(QStringLiteral("%1: %2 on %3, %4:1")
                                                         .arg(QString::fromLatin1(name), text.name(), background.name())
                                                         .arg(contrast, 0, 'f', 2)));
            }
        }
        QApplication::setPalette(light);
    }

private:
    std::unique_ptr<ui::QtMainQueue> mainQueue_;
    std::vector<QUrl> opened_;
};

QTEST_MAIN(WindowTests)
#include "window_tests.moc"
