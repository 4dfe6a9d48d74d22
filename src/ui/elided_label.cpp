#include "ui/elided_label.h"

#include <QResizeEvent>
#include <QStyle>
#include <QTextDocument>
#include <QTextLayout>
#include <QToolTip>
#include <algorithm>
#include <optional>
#include <utility>

namespace kelvatta::ui {
namespace {

constexpr char16_t kOpenQuote = u'“';
constexpr char16_t kCloseQuote = u'”';
constexpr char16_t kEllipsis = u'…';
// The shares of the width that what comes before a file's name and what follows it keep when the
// name needs more: a quarter, a third.
constexpr int kHeadShare = 4;
constexpr int kTailShare = 3;
// The margin of a tooltip's text, on each side, within its label's own margin.
constexpr int kToolTipDocumentMargin = 4;

// The text on one line: line breaks and other control characters (a file name may hold them) as spaces.
QString oneLine(QString text)
{
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    return text;
}

// Where the quoted file of text lies: the positions of its opening and closing quotes.
std::optional<std::pair<qsizetype, qsizetype>> quotedFile(const QString& text)
{
    std::optional<std::pair<qsizetype, qsizetype>> first;
    for (qsizetype open = text.indexOf(kOpenQuote); open >= 0; open = text.indexOf(kOpenQuote, open + 1)) {
        const qsizetype close = text.indexOf(kCloseQuote, open + 1);
        if (close < 0) break;
        if (text.mid(open + 1, close - open - 1).contains(u'/')) return std::pair(open, close);
        if (!first) first = std::pair(open, close);
    }
    return first;
}

}  // namespace

QString elideKeepingFileName(const QString& text, const QFontMetrics& metrics, int width)
{
    const auto advance = [&](const QString& part) { return metrics.horizontalAdvance(part); };
    if (advance(text) <= width) return text;
    const auto quoted = quotedFile(text);
    if (!quoted) return metrics.elidedText(text, Qt::ElideMiddle, width);

    const auto [open, close] = *quoted;
    const QString head = text.left(open + 1), tail = text.mid(close);
    const QString file = text.mid(open + 1, close - open - 1);
    const qsizetype slash = file.lastIndexOf(u'/');
    const QString folder = file.left(slash + 1), name = file.mid(slash + 1);
    QString shownFile = name;
    if (!folder.isEmpty()) {
        // The folder's start and end, its middle cut; at the least "…/".
        const QString shortFolder = metrics.elidedText(folder, Qt::ElideMiddle, width - advance(head + name + tail));
        if (shortFolder.size() > 1 && advance(head + shortFolder + name + tail) <= width)
            return head + shortFolder + name + tail;
        shownFile = QString(kEllipsis) + u'/' + name;
    }
    // Then what comes before the file (what failed) is cut in its middle, down to its share; then
    // what follows it (why) at its end, down to its share; and only then the name, at its start: a
    // camera's clip number and the extension are at its end.
    const int headRoom = std::max(width - advance(shownFile + tail), std::min(advance(head), width / kHeadShare));
    const QString shortHead = metrics.elidedText(head, Qt::ElideMiddle, headRoom);
    const int tailRoom = std::max(width - advance(shownFile + shortHead), std::min(advance(tail), width / kTailShare));
    const QString shortTail = metrics.elidedText(tail, Qt::ElideRight, tailRoom);
    const int fileRoom = width - advance(shortHead + shortTail);
    if (advance(shownFile) > fileRoom) shownFile = metrics.elidedText(name, Qt::ElideLeft, fileRoom);
    const QString cut = shortHead + shownFile + shortTail;
    return advance(cut) <= width ? cut : metrics.elidedText(text, Qt::ElideMiddle, width);
}

QStringList brokenIntoLines(const QString& text, const QFont& font, int width)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(std::max(width, 1));
        QString part = text.mid(line.textStart(), line.textLength());
        while (part.endsWith(u' ')) part.chop(1);
        lines << part;
    }
    layout.endLayout();
    return lines;
}

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    // The width is the layout's to give; the text follows it.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ElidedLabel::setFullText(const QString& text)
{
    full_ = text;
    setAccessibleName(text);
    makeToolTip();
    showFitted();
}

void ElidedLabel::setToolTipWidth(int width)
{
    toolTipWidth_ = width;
    makeToolTip();
}

void ElidedLabel::makeToolTip()
{
    // Shown as written, never read as markup: messages carry file names.
    if (toolTipWidth_ <= 0) {
        setToolTip(Qt::convertFromPlainText(full_, Qt::WhiteSpaceNormal));
        return;
    }
    // Broken here into lines that Qt keeps as they are: left to itself, Qt picks a width for a
    // tooltip from the text's shape and the screen, as narrow as a few characters.
    // Around its lines a tooltip has its label's margin (its frame and one pixel), the document's
    // margin, and one pixel more.
    const int frame = 1 + style()->pixelMetric(QStyle::PM_ToolTipLabelFrameWidth, nullptr, this);
    const int lineWidth = toolTipWidth_ - 2 * (frame + kToolTipDocumentMargin) - 1;
    const QStringList lines = brokenIntoLines(oneLine(full_), QToolTip::font(), lineWidth);
    QString html = QStringLiteral("<p style=\"white-space:pre\">");
    for (qsizetype i = 0; i < lines.size(); ++i)
        html += (i ? QStringLiteral("\n") : QString()) + lines[i].toHtmlEscaped();
    setToolTip(html + QStringLiteral("</p>"));
}

QSize ElidedLabel::minimumSizeHint() const { return QSize(0, QLabel::minimumSizeHint().height()); }

void ElidedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    if (event->size().width() != event->oldSize().width()) showFitted();
}

void ElidedLabel::showFitted()
{
    const int width = contentsRect().width() - 2 * margin();
    setText(elideKeepingFileName(oneLine(full_), fontMetrics(), std::max(width, 0)));
}

}  // namespace kelvatta::ui
