// The program with its window, on Qt's offscreen platform, over export sessions the tests end.
#include <QAccessible>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTextDocumentFragment>
#include <QToolTip>
#include <QtTest>
#include <tuple>

#include "app/window_shell.h"
#include "operations/batch_run.h"
#include "platform/dispatch.h"
#include "platform/operation_queue.h"
#include "state/texts.h"
#include "support/clips.h"
#include "support/fake_session.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "ui/batch_end_notice.h"
#include "ui/content_widget.h"
#include "ui/desktop_notifier.h"
#include "ui/link_line.h"
#include "ui/qt_main_queue.h"
#include "ui/qt_translations.h"
#include "ui/style.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

template <typename T = QWidget>
T* part(QWidget* window, const char* name)
{
    return window->findChild<T*>(QString::fromLatin1(name));
}

QUrl fileUrl(const fs::path& path) { return QUrl::fromLocalFile(QString::fromStdString(path.string())); }

struct DropOutcome {
    bool entered = false;   // the drag was welcome over the zone
    bool accepted = false;  // the drop was taken
    Qt::DropAction action = Qt::IgnoreAction;
};

// Drags the URLs over the widget and drops them there, as a file manager does.
DropOutcome dropOn(QWidget* zone, const QList<QUrl>& urls,
                   Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction)
{
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at = zone->rect().center();
    QDragEnterEvent enter(at, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QApplication::sendEvent(zone, &enter);
    QDropEvent drop(QPointF(at), offered, &mime, Qt::LeftButton, Qt::NoModifier);
    drop.setAccepted(false);
    QApplication::sendEvent(zone, &drop);
    return {enter.isAccepted(), drop.isAccepted(), drop.dropAction()};
}

struct FakeWindow {
    FakeSessions sessions;
    ProgramWindow window{sessions.factory()};
    ContentView view = window.view();  // shares the window's state

    FakeWindow()
    {
        sessions.hold = true;
        window.show();
    }
    QWidget* widget() { return &window.widget(); }
    QWidget* zone() { return part(widget(), "dropZone"); }
    bool finishBatch()
    {
        return QTest::qWaitFor([&] { return (sessions.release(), view.takesInput()); }, 10000);
    }
};

struct Dialog {
    QString title;
    QStringList buttons;
    bool foldersOnly = false;
};

// Runs act (a click, a key); the folder dialog it opens, if any, is answered: accepted with folder
// chosen, or cancelled. Returns what the dialog showed, nothing when none opened.
std::optional<Dialog> answerDialog(const std::function<void()>& act, const QString& folder = {})
{
    std::optional<Dialog> seen;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        seen = Dialog{dialog->windowTitle(),
                      {},
                      dialog->fileMode() == QFileDialog::Directory && dialog->testOption(QFileDialog::ShowDirsOnly)};
        for (auto* button : dialog->findChildren<QPushButton*>()) seen->buttons << button->text();
        QDialog* asDialog = dialog;  // as the dialog's own buttons do
        if (folder.isEmpty()) return asDialog->reject();
        dialog->setDirectory(folder);
        asDialog->accept();
    });
    act();
    QApplication::processEvents();  // the answer runs here when no dialog opened
    return seen;
}

QRect placeOf(QWidget* widget) { return QRect(widget->mapTo(widget->window(), QPoint(0, 0)), widget->size()); }

bool partsInside(QWidget* window)
{
    for (const char* name :
         {"dropZone", "saveAsToggle", "progressBlock", "errorLine", "doneLine", "creditLine", "linkLine", "warning"}) {
        QWidget* widget = part(window, name);
        if (widget->isVisibleTo(window) && !window->rect().contains(placeOf(widget))) return false;
    }
    return true;
}

struct FakeNotifier final : ui::DesktopNotifier {
    std::vector<std::pair<QString, QString>> sent;  // summary, body
    void notify(const QString& summary, const QString& body) override { sent.emplace_back(summary, body); }
};

// The tooltip Qt shows for widget, as the pointer resting on it asks for it; nothing when none shows.
QLabel* shownToolTip(QWidget* widget)
{
    const QPoint at = widget->rect().center();
    QHelpEvent help(QEvent::ToolTip, at, widget->mapToGlobal(at));
    QApplication::sendEvent(widget, &help);
    QLabel* tip = nullptr;
    const bool shown = QTest::qWaitFor([&] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->inherits("QTipLabel") && top->isVisible()) tip = qobject_cast<QLabel*>(top);
        return tip != nullptr;
    });
    return shown ? tip : nullptr;
}

}  // namespace

class WindowTests : public QObject {
    Q_OBJECT

public slots:
    void recordOpened(const QUrl& url) { opened_.push_back(url); }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);  // Qt's dialog keeps its state away from the user's settings
        mainQueue_ = std::make_unique<ui::QtMainQueue>();
        QVERIFY2(ui::installQtTranslations(*qApp), "Qt's translations are missing: make deps installs them");
    }
    void cleanupTestCase() { mainQueue_.reset(); }

    void progressBlockLocksTheControlsAndTheErrorLineIsPlainText()
    {
        FakeWindow f;
        QWidget* w = f.widget();
        auto* button = part<QPushButton>(w, "chooseFolderButton");
        auto* toggle = part<QCheckBox>(w, "saveAsToggle");
        auto* bar = part<QProgressBar>(w, "progressBar");
        QVERIFY(!part(w, "progressBlock")->isVisible() && button->isEnabled() && toggle->isEnabled());
        f.view.setMaxProgress(5);
        f.view.setShowProgressBar(true);
        f.view.setProgress(2);
        QVERIFY(part(w, "progressBlock")->isVisible());
        QCOMPARE(part<QLabel>(w, "progressText")->text(), QString::fromStdString(processingFilesText(2, 5)));
        QCOMPARE(bar->value() - bar->minimum(), (bar->maximum() - bar->minimum()) * 2 / 5);
        QVERIFY(partsInside(w));
        // Locked (a disabled check box takes no click), and a click on the button opens no dialog.
        QVERIFY(!button->isEnabled() && !toggle->isEnabled());
        QVERIFY(!answerDialog([&] { QTest::mouseClick(button, Qt::LeftButton); }));
        f.view.setProgress(5);
        QCOMPARE(bar->value(), bar->maximum());
        f.view.setShowProgressBar(false);
        QVERIFY(!part(w, "progressBlock")->isVisible() && button->isEnabled() && toggle->isEnabled());

        // The error line shows only when both fields say so, as written (never read as markup: file
        // names may hold anything).
        auto* line = part<QLabel>(w, "errorLine");
        const std::string markup = "文件“<b>a</b>.mp4”不是可识别的视频文件";
        using Fields = std::pair<bool, std::optional<std::string>>;  // showAlert, errorMessage
        for (const auto& [alert, message] : {Fields{true, {}}, Fields{false, markup}, Fields{true, markup}}) {
            f.view.setErrorMessage(message);
            f.view.setShowAlert(alert);
            QCOMPARE(line->isVisible(), alert && message);
        }
        QCOMPARE(line->text(), QString::fromStdString(errorLineText(markup)));
        QCOMPARE(line->textFormat(), Qt::PlainText);
    }

    void dropsTakenAndRefused()
    {
        TempDir dir;
        for (const char* name : {"a.mp4", "b.mp4", "c.mp4", "d.mp4"}) writeFile(dir / name, name);
        FakeWindow f;
        LogCapture log;
        // A source that only offers to move its files, and an address that is no local file, are
        // refused from the moment they are dragged over the zone.
        const auto moveOnly = dropOn(f.zone(), {fileUrl(dir / "a.mp4")}, Qt::MoveAction);
        QVERIFY(!moveOnly.entered && !moveOnly.accepted);
        for (const char* address : {"https://example.org/a.mp4", "file://camera/DCIM/a.mp4"}) {
            const auto web = dropOn(f.zone(), {QUrl(QString::fromLatin1(address))});
            QVERIFY(!web.entered && !web.accepted);
        }
        QTest::qWait(50);
        QVERIFY(log.lines().empty());

        const auto first = dropOn(f.zone(), {fileUrl(dir / "a.mp4"), fileUrl(dir / "b.mp4"), fileUrl(dir / "c.mp4")});
        QVERIFY(first.accepted && first.action == Qt::CopyAction);  // never a move: the files stay where they are
        QTRY_VERIFY(f.sessions.held() >= 1);
        // While the batch runs, and after its first failure while files of it still run (the progress
        // block hidden, the error line up), a drag is refused and nothing of it is loaded.
        const auto refused = [&] {
            const auto during = dropOn(f.zone(), {fileUrl(dir / "d.mp4")});
            return !during.entered && !during.accepted && !part(f.widget(), "chooseFolderButton")->isEnabled();
        };
        QVERIFY(refused());
        QVERIFY(f.sessions.fail());
        QTRY_VERIFY(part(f.widget(), "errorLine")->isVisible());
        QVERIFY(!part(f.widget(), "progressBlock")->isVisible());
        if (f.sessions.held() > 0) QVERIFY(refused());
        QVERIFY(f.finishBatch());
        QVERIFY(!log.mentions("d.mp4"));

        // After the batch, drops are taken again, into the save-as folder once the check box says so.
        QTest::mouseClick(part(f.widget(), "saveAsToggle"), Qt::LeftButton);
        QVERIFY(f.view.saveAs() && dropOn(f.zone(), {fileUrl(dir / "d.mp4")}).accepted);
        QTRY_COMPARE(f.sessions.held(), size_t(1));
        QVERIFY(f.finishBatch());
        QCOMPARE(readFile(dir / "已修改时间码/d.mp4") + readFile(dir / "d.mp4"), std::string("rewrittend.mp4"));
    }

    // The button opens Qt's dialog for one folder, in Chinese. A cancel changes nothing; a chosen
    // folder is searched and its clips rewritten; no second dialog opens while that batch runs.
    void chooseFolderButtonOpensTheDialogAndProcessesTheChoice()
    {
        TempDir dir;
        fs::create_directory(dir / "sub");
        for (const char* name : {"x.mp4", "sub/y.MOV", "notes.txt"}) writeFile(dir / name, name);
        FakeWindow f;
        LogCapture log;
        auto* button = part(f.widget(), "chooseFolderButton");
        const auto click = [&] { QTest::mouseClick(button, Qt::LeftButton); };
        const QString chosen = QString::fromStdString(dir.path().string());

        const auto cancelled = answerDialog(click);
        QVERIFY(cancelled);
        QCOMPARE(cancelled->title, QString::fromUtf8(kChooseFolder));
        QVERIFY2(cancelled->buttons.contains(QStringLiteral("取消")), qPrintable(cancelled->buttons.join(u',')));
        QVERIFY(cancelled->foldersOnly);
        QTest::qWait(50);
        QVERIFY(log.lines().empty() && f.view.folderPath().empty());

        QVERIFY(answerDialog(click, chosen));
        QCOMPARE(f.view.folderPath(), dir.path().string());
        QTRY_VERIFY(f.sessions.held() >= 1);
        QVERIFY(!answerDialog(click));
        QVERIFY(f.finishBatch());
        QCOMPARE(readFile(dir / "sub/y.MOV") + readFile(dir / "x.mp4") + readFile(dir / "notes.txt"),
                 std::string("rewritten") + "rewritten" + "notes.txt");
    }

    // Tab goes from the button to the check box to the link line; Return and Enter act on each as a
    // click does (the link line opens the user guide). Every control has a name for screen readers,
    // and every text stays readable.
    void keyboardScreenReadersAndReadableTexts()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "recordOpened");
        opened_.clear();
        FakeWindow f;
        f.widget()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.widget()));
        auto* button = part(f.widget(), "chooseFolderButton");
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Tab);
        QVERIFY(part(f.widget(), "saveAsToggle")->hasFocus());
        QTest::keyClick(part(f.widget(), "saveAsToggle"), Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(f.view.saveAs());
        QTest::keyClick(part(f.widget(), "saveAsToggle"), Qt::Key_Tab);
        QVERIFY(part(f.widget(), "linkLine")->hasFocus());
        QTest::keyClick(part(f.widget(), "linkLine"), Qt::Key_Return);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(opened_, std::vector<QUrl>{ui::userGuidePage()});
        QVERIFY(QFileInfo::exists(opened_[0].toLocalFile()));  // here, the one laid out in the build folder
        button->setFocus();
        QVERIFY(answerDialog([&] { QTest::keyClick(button, Qt::Key_Return); }));

        f.view.setShowProgressBar(true);
        f.view.setErrorMessage("坏文件");
        f.view.setShowAlert(true);
        for (const char* name : {"dropZone", "startButton", "chooseFolderButton", "saveAsToggle", "progressBar",
                                 "errorLine", "linkLine"}) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(part(f.widget(), name));
            QVERIFY2(accessible && !accessible->text(QAccessible::Name).isEmpty(), name);
        }

        // Every text keeps a contrast of 4.5:1 with what lies behind it, in a light and in a dark palette.
        const QPalette light = QApplication::palette();
        for (const QPalette& palette : {light, QPalette(QColor(45, 45, 48))}) {
            QApplication::setPalette(palette);
            QApplication::processEvents();
            const QImage image = f.widget()->grab().toImage();
            // What is drawn behind a text: a pixel of the widget left of its centred text (of the check
            // box, right of it; of the link line, in the room around it).
            const auto behind = [&](QWidget* w, QPoint at) { return image.pixelColor(w->mapTo(f.widget(), at)); };
            const auto textOf = [](QWidget* w) { return w->palette().color(QPalette::Active, w->foregroundRole()); };
            std::vector<std::tuple<const char*, QColor, QColor>> texts;
            for (const char* name : {"dropHint", "orLabel", "progressText", "errorLine", "creditLine", "warning"}) {
                QWidget* label = part(f.widget(), name);
                texts.emplace_back(name, textOf(label), behind(label, QPoint(10, label->height() / 2)));
            }
            QWidget* toggle = part(f.widget(), "saveAsToggle");
            texts.emplace_back("saveAsToggle", textOf(toggle), behind(toggle, QPoint(toggle->width() - 2, 1)));
            texts.emplace_back("chooseFolderButton", button->palette().color(QPalette::Active, QPalette::ButtonText),
                               button->palette().color(QPalette::Button));
            auto* link = dynamic_cast<ui::LinkLine*>(part(f.widget(), "linkLine"));
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
        f.view.setShowProgressBar(false);
    }

    // After a batch without a failure, a line in the error line's place says so, in the window's
    // own text colour, until the next batch starts; a failure's error line is never beside it.
    void doneLineAfterABatchUntilTheNext()
    {
        TempDir dir;
        for (const char* name : {"a.mp4", "b.mp4", "c.mp4"}) writeFile(dir / name, name);
        FakeWindow f;
        auto* done = part<QLabel>(f.widget(), "doneLine");
        auto* error = part<QLabel>(f.widget(), "errorLine");
        QVERIFY(dropOn(f.zone(), {fileUrl(dir / "a.mp4"), fileUrl(dir / "b.mp4")}).accepted);
        QTRY_VERIFY(!f.sessions.started().empty());
        QVERIFY(!done->isVisible());
        // One of them was found at 00:00:00:00 already, and is counted apart.
        QTRY_COMPARE(f.sessions.held(), size_t(2));
        QVERIFY(f.sessions.release("b.mp4", {{}, ExportStatus::completed, "", AlreadyDone::clip}));
        QVERIFY(f.finishBatch());
        QVERIFY(done->isVisible() && !error->isVisible() && partsInside(f.widget()));
        QCOMPARE(done->text(), QString::fromStdString(batchDoneText(2, 1)));
        const auto colorOf = [](QWidget* w) { return w->palette().color(QPalette::Active, QPalette::WindowText); };
        QCOMPARE(colorOf(done), f.widget()->palette().color(QPalette::Active, QPalette::WindowText));
        QVERIFY(colorOf(done) != colorOf(error));

        // The next batch clears it from its start; its failure shows the error line alone.
        QVERIFY(dropOn(f.zone(), {fileUrl(dir / "c.mp4")}).accepted);
        QTRY_VERIFY(f.sessions.held() == 1);
        QVERIFY(!done->isVisible());
        QVERIFY(f.sessions.fail());
        QVERIFY(f.finishBatch());
        QVERIFY(error->isVisible() && !done->isVisible());
        QVERIFY(dropOn(f.zone(), {fileUrl(dir / "c.mp4")}).accepted);
        QTRY_VERIFY(f.sessions.held() == 1);
        QVERIFY(f.finishBatch());
        QVERIFY(done->isVisible());
        processFiles(f.view, {});  // a folder without clips
        QVERIFY(error->isVisible() && !done->isVisible());
    }

    // A batch of more than ten seconds that ends while the window is not active is told of by a
    // notification saying how it ended; a shorter one, or one ending under the user's eyes, is not.
    void notificationOnlyForALongBatchEndingWhileTheWindowIsNotActive()
    {
        TempDir dir;
        writeFile(dir / "a.mp4", "a");
        QWidget elsewhere;  // another window the user is in
        elsewhere.resize(100, 100);
        elsewhere.show();
        const struct {
            int seconds;
            bool active, fails, told;
        } cases[] = {
            {11, false, false, true}, {11, false, true, true}, {10, false, false, false}, {11, true, false, false}};
        for (const auto& c : cases) {
            FakeWindow f;
            auto notifier = std::make_shared<FakeNotifier>();
            auto now = std::chrono::steady_clock::time_point();
            f.window.notice().setNotifier(notifier);
            f.window.notice().setClock([&] { return now; });
            (c.active ? f.widget() : &elsewhere)->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(c.active ? f.widget() : &elsewhere));
            QVERIFY(dropOn(f.zone(), {fileUrl(dir / "a.mp4")}).accepted);
            QTRY_VERIFY(f.sessions.held() == 1);
            now += std::chrono::seconds(c.seconds);
            if (c.fails) QVERIFY(f.sessions.fail());
            QVERIFY(f.finishBatch());
            using Sent = std::vector<std::pair<QString, QString>>;
            const QString error = QString::fromStdString(errorLineText(f.view.errorMessage().value_or("")));
            const Sent expected =
                !c.told   ? Sent{}
                : c.fails ? Sent{{QString::fromUtf8(kBatchFailed), error}}
                          : Sent{{QString::fromUtf8(kBatchDone), QString::fromStdString(batchDoneText(1, 0))}};
            QCOMPARE(notifier->sent, expected);
        }
    }

    // A long error stays on one line, every control in its place, and keeps the file's name whole,
    // cutting the middle of its folder first, and what surrounds a name too long for the line; its
    // tooltip holds all of it in lines as wide as the window.
    void errorLineKeepsTheFileNameAndItsTooltipIsAsWideAsTheWindow()
    {
        FakeWindow f;
        QVERIFY(QTest::qWaitForWindowExposed(f.widget()));
        auto* line = part<QLabel>(f.widget(), "errorLine");
        const std::string folder = "/media/user/CARD 2024-05-18/PRIVATE/M4ROOT/CLIP/" + std::string(60, 'x') +
                                   "/很长的文件夹名字很长的文件夹名字/";
        std::string longName;
        for (int i = 0; i < 40; ++i) longName += "很长的名字";
        const struct {
            std::string message, kept;  // kept: what the line shows whole
        } cases[] = {
            {"替换原文件失败：无法删除原文件“" + folder + "C0001.mkv”：权限不足", "C0001.mkv”：权限不足"},
            {"无法创建文件夹“" + folder + "已修改时间码”：只读文件系统", "文件夹“/m"},
            {"文件“" + longName + "_C0001.MP4”已损坏：“moov”盒子超出了文件末尾（文件可能不完整）", "C0001.MP4”已损坏"},
            {"导出失败：无法写入文件“temp_2024-05-18 婚礼 第二机位 新娘入场 慢动作 备份 C0117.MP4”：磁盘空间不足",
             "备份 C0117.MP4”：磁盘空间不足"},
            {"导出失败：无法写入文件“temp_x\n" + longName + ".MP4”：磁盘空间不足", "很长的名字.MP4”：磁盘空间不足"},
        };
        auto* button = part<QPushButton>(f.widget(), "chooseFolderButton");
        auto* toggle = part(f.widget(), "saveAsToggle");
        const QRect buttonPlace = placeOf(button), togglePlace = placeOf(toggle);
        f.view.setErrorMessage("坏文件");
        f.view.setShowAlert(true);
        const int lineHeight = line->height();
        for (const auto& c : cases) {
            f.view.setErrorMessage(c.message);
            QApplication::processEvents();
            const QString shown = line->text();
            QVERIFY2(shown.startsWith(QString::fromStdString(errorLineText(""))) &&
                         shown.contains(QString::fromStdString(c.kept)) && shown.contains(QChar(0x2026)) &&
                         !shown.contains(QLatin1Char('\n')),
                     qPrintable(shown));
            QVERIFY(line->fontMetrics().horizontalAdvance(shown) <= line->contentsRect().width() - 2 * line->margin());
            QVERIFY(line->accessibleName().endsWith(QString::fromStdString(c.message)));
            QVERIFY(line->height() == lineHeight && partsInside(f.widget()));
            QVERIFY(placeOf(button) == buttonPlace && placeOf(toggle) == togglePlace);
        }
        QLabel* tip = shownToolTip(line);
        QVERIFY(tip);
        QVERIFY2(tip->width() <= ui::kWindowWidth && tip->width() >= ui::kWindowWidth * 9 / 10,
                 qPrintable(QString::number(tip->width())));
        const QString tipText = QTextDocumentFragment::fromHtml(tip->text()).toPlainText();
        QVERIFY(tipText.count(QLatin1Char('\n')) >= 3);
        QCOMPARE(QString(tipText).remove(QLatin1Char('\n')),
                 QString::fromStdString(errorLineText(std::end(cases)[-1].message)).replace(u'\n', u' '));
        QToolTip::hideText();
        QVERIFY(answerDialog([&] { QTest::mouseClick(button, Qt::LeftButton); }));
        QVERIFY(!f.view.saveAs());
    }

    // "Open with" hands files and folders to the window, which searches them as a drop but rewrites
    // nothing until the user says so: the drop zone says what it was given, and its start button (or
    // Return, on the check box too) starts them as the check box then says. A drop meanwhile is
    // processed instead, and the opened files are forgotten.
    void openedFilesWaitForTheStart()
    {
        TempDir dir;
        fs::create_directory(dir / "A001");
        for (const char* name : {"C0001.MP4", "A001/C0002.MOV", "A001/notes.txt"}) writeFile(dir / name, name);
        const auto unchanged = [&] { return readFile(dir / "C0001.MP4") + readFile(dir / "A001/C0002.MOV"); };
        const std::string before = unchanged();
        {
            FakeWindow f;
            LogCapture log;
            f.window.open({dir / "C0001.MP4", dir / "A001"});
            auto* start = part<QPushButton>(f.widget(), "startButton");
            QTRY_VERIFY(start->isVisible());
            QCOMPARE(part(f.widget(), "openedLine")->accessibleName(),  // the whole line, whatever is cut to fit
                     QString::fromStdString(openedFilesText(2, dir.path().string())));
            QVERIFY(start->hasFocus() && !part(f.widget(), "dropHint")->isVisible() && partsInside(f.widget()));
            QVERIFY(log.mentions("加载的文件 URL：" + (dir / "C0001.MP4").string()));
            QTest::qWait(100);
            QVERIFY(f.sessions.started().empty() && unchanged() == before);

            auto* toggle = part(f.widget(), "saveAsToggle");
            QTest::mouseClick(toggle, Qt::LeftButton);
            QTest::keyClick(toggle, Qt::Key_Return);
            QVERIFY(f.view.saveAs());
            QTRY_VERIFY(!f.sessions.started().empty());
            QVERIFY(f.finishBatch());
            QCOMPARE(readFile(dir / "已修改时间码/C0001.MP4") + readFile(dir / "A001/已修改时间码/C0002.MOV"),
                     std::string("rewritten") + "rewritten");
            QVERIFY(unchanged() == before && !start->isVisible() && part(f.widget(), "dropHint")->isVisible());
            QCOMPARE(part<QLabel>(f.widget(), "doneLine")->text(), QString::fromStdString(batchDoneText(2, 0)));
        }
        {
            FakeWindow f;
            f.window.open({dir / "C0001.MP4"});
            QTRY_VERIFY(part(f.widget(), "startButton")->isVisible());
            QVERIFY(dropOn(f.zone(), {fileUrl(dir / "A001/C0002.MOV")}).accepted);
            QTRY_COMPARE(f.sessions.held(), size_t(1));
            QVERIFY(f.finishBatch());
            QCOMPARE(f.sessions.started().size(), size_t(1));
            QVERIFY(!part(f.widget(), "startButton")->isVisible() && readFile(dir / "C0001.MP4") == "C0001.MP4");
        }
        // The program itself, as the menu entry starts it: the clip keeps its bytes while the window
        // waits, until a stop signal closes it.
        QVERIFY(makeClip(dir / "C0003.MP4", {.timecode = "01:00:00:00"}));
        const std::string clip = readFile(dir / "C0003.MP4");
        const auto run = runKelvatta({"--window", (dir / "C0003.MP4").string()},
                                     {.interruptOn = "等待开始处理", .interruptSignal = SIGTERM});
        QCOMPARE(run.status, 0);
        QVERIFY(run.out.find(openedFilesText(1, dir.path().string())) != std::string::npos);
        QVERIFY(readFile(dir / "C0003.MP4") == clip);
    }

    void closingTheWindowDuringABatchCancelsItsExports()
    {
        TempDir dir;
        QList<QUrl> urls;
        for (const char* name : {"C1.mp4", "C2.mp4", "C3.mp4", "C4.mp4", "C5.mp4"})
            writeFile(dir / name, "original"), urls.push_back(fileUrl(dir / name));
        FakeWindow f;  // its exports held until cancelled
        QVERIFY(dropOn(f.zone(), urls).accepted);
        QTRY_VERIFY(!f.sessions.started().empty());

        f.widget()->close();
        QVERIFY(f.window.settle(std::chrono::seconds(20)));
        QCOMPARE(f.view.operationQueue().operationCount(), size_t(0));
        QVERIFY(f.sessions.started().size() <= size_t(operationQueueWidth(activeProcessorCount())));
        for (const QUrl& url : urls) QCOMPARE(readFile(url.toLocalFile().toStdString()), std::string("original"));
    }

private:
    std::unique_ptr<ui::QtMainQueue> mainQueue_;
    std::vector<QUrl> opened_;
};

QTEST_MAIN(WindowTests)
#include "window_tests.moc"
