#include "ui/elided_label.h"

#include <QResizeEvent>
#include <QTextDocument>
#include <algorithm>

namespace kelvatta::ui {
namespace {

// The text on one line: line breaks and other control characters (a file name may hold them) as spaces.
QString oneLine(QString text)
{
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    return text;
}

}  // namespace

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
    // Shown as written in the tooltip too, never read as markup: messages carry file names.
    setToolTip(Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
    setAccessibleName(text);
    showFitted();
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
    setText(fontMetrics().elidedText(oneLine(full_), Qt::ElideMiddle, std::max(width, 0)));
}

}  // namespace kelvatta::ui
