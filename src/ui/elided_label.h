// A label of one line, whatever the length of its text: what does not fit is cut so that the file
// the text names stays whole (the middle of its folder goes first; see elideKeepingFileName),
// and the whole text is its tooltip, in lines as wide as the window, and its accessible name. The
// window's error line, which carries file names of any length: wrapped, it would grow and push the
// controls below it over one another.
#pragma once

#include <QLabel>
#include <QStringList>

namespace kelvatta::ui {

class ElidedLabel final : public QLabel {
public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setFullText(const QString& text);
    // How wide the tooltip may be, its frame included (the window's width); without it, Qt's own
    // guess, which may wrap a long text a few characters a line.
    void setToolTipWidth(int width);

    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showFitted();
    void makeToolTip();

    QString full_;
    int toolTipWidth_ = 0;
};

// text in at most width pixels of metrics. Where it does not fit and it names a file between “ and ”
// (the first such part that holds a path, else the first one), the file's name is kept whole: the
// middle of its folder is cut, then the folder dropped, then the middle of what comes before the
// file, then the end of what follows it; only a name longer than what is left is cut, at its start.
// Without a quoted file, the middle of the whole text is cut.
QString elideKeepingFileName(const QString& text, const QFontMetrics& metrics, int width);

// text broken into lines of at most width pixels of font: at spaces where it can, else anywhere (a
// path or a Chinese sentence has no spaces).
QStringList brokenIntoLines(const QString& text, const QFont& font, int width);

}  // namespace kelvatta::ui
