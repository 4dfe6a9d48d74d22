// kelvatta-render: draws the window and the program's icon into PNG files, with no display.
//   kelvatta-render screenshots DIR   DIR/screenshot.png (the window as it opens),
//                                     DIR/screenshot-busy.png (a batch running; a failure's error line)
//                                     DIR/screenshot-long-error.png (an error longer than the window)
//                                     and DIR/screenshot-opened.png (opened with clips, before their start)
//   kelvatta-render icon SIZE FILE    the icon, SIZE × SIZE pixels
//   kelvatta-render svg FILE          the icon as an SVG file, the same outline
// Screenshots are drawn at twice the window's size, as on a high-density screen.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/window_shell.h"
#include "ui/content_widget.h"
#include "ui/folder_icon.h"
#include "ui/qt_main_queue.h"
#include "ui/style.h"

namespace {

using namespace kelvatta;

bool save(const QImage& image, const QString& file)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    if (image.save(file, "PNG")) return true;
    std::fprintf(stderr, "kelvatta-render：无法写入 %s\n", file.toLocal8Bit().constData());
    return false;
}

bool save(const QByteArray& contents, const QString& file)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile out(file);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(contents) == contents.size()) return true;
    std::fprintf(stderr, "kelvatta-render：无法写入 %s\n", file.toLocal8Bit().constData());
    return false;
}

// The window as drawn once the writes so far have been laid out, pixel for pixel.
QImage grab(ProgramWindow& window)
{
    QApplication::processEvents();
    QImage image = window.widget().grab().toImage();
    image.setDevicePixelRatio(1);
    return image;
}

// The two states side by side, on the window's background.
QImage sideBySide(const QImage& left, const QImage& right, const QColor& background)
{
    const int gap = left.width() / 20;
    QImage both(left.width() + gap + right.width(), std::max(left.height(), right.height()), QImage::Format_ARGB32);
    both.fill(background);
    QPainter painter(&both);
    painter.drawImage(0, 0, left);
    painter.drawImage(left.width() + gap, 0, right);
    return both;
}

int screenshots(const QString& dir)
{
    ui::QtMainQueue mainQueue;
    ProgramWindow window;
    window.show();
    if (!save(grab(window), dir + QStringLiteral("/screenshot.png"))) return 1;

    // Opened with three clips of a card, which wait for the user's start.
    ContentView view = window.view();
    const std::filesystem::path card = "/media/card/PRIVATE/M4ROOT/CLIP";
    view.setOpenedFiles({card / "C0001.MP4", card / "C0002.MP4", card / "C0003.MP4"});
    if (!save(grab(window), dir + QStringLiteral("/screenshot-opened.png"))) return 1;
    view.setOpenedFiles({});

    // What the batch run writes while the second of five files is done, then after a failure.
    view.setProgress(0);
    view.setMaxProgress(5);
    view.setShowProgressBar(true);
    view.setProgress(2);
    const QImage busy = grab(window);
    view.setErrorMessage("文件“C0003.MP4”不是可识别的视频文件");
    view.setShowAlert(true);
    view.setShowProgressBar(false);
    const QImage failed = grab(window);
    const QColor background = window.widget().palette().color(QPalette::Window).darker(115);
    if (!save(sideBySide(busy, failed, background), dir + QStringLiteral("/screenshot-busy.png"))) return 1;

    // A clip with a long name fails: the line stays one line, the end of the name kept.
    view.setErrorMessage(
        "导出失败：无法写入文件“temp_2024-05-18 婚礼 第二机位 新娘入场 慢动作 备份 C0117.MP4”：磁盘空间不足");
    return save(grab(window), dir + QStringLiteral("/screenshot-long-error.png")) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "icon" && argc == 4) {
        QGuiApplication app(argc, argv);
        const int size = std::atoi(argv[2]);
        if (size <= 0) return 2;
        return save(ui::folderWithPlusImage(size, ui::blueColor()), QString::fromLocal8Bit(argv[3])) ? 0 : 1;
    }
    if (mode == "svg" && argc == 3)
        return save(ui::folderWithPlusSvg(ui::blueColor()), QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    if (mode == "screenshots" && argc == 3) {
        qputenv("QT_SCALE_FACTOR", "2");
        QApplication app(argc, argv);
        QApplication::setFont(ui::bodyFont());
        return screenshots(QString::fromLocal8Bit(argv[2]));
    }
    std::fprintf(
        stderr, "用法：kelvatta-render screenshots 目录 | kelvatta-render icon 尺寸 文件 | kelvatta-render svg 文件\n");
    return 2;
}
