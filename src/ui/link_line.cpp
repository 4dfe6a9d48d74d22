#include "ui/link_line.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QTextDocument>

#include "platform/log.h"
#include "ui/style.h"
#include "state/texts.h"

namespace kelvatta::ui {
namespace {

constexpr int kFocusPadding = 2;  // room beside the text for the focus frame

QFont underlined(QFont font)
{
    font.setUnderline(true);
    return font;
}

}  // namespace

LinkLine::LinkLine(QUrl guide, QWidget* parent) : QAbstractButton(parent), guide_(std::move(guide))
{
    setObjectName(QStringLiteral("linkLine"));
    setFont(underlined(footnoteFont()));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setColors(blueColor(), redColor());
    showText(QString::fromUtf8(kLinkLine), false);
    connect(this, &QAbstractButton::clicked, this, &LinkLine::openGuide);
}

void LinkLine::setColors(const QColor& link, const QColor& failure)
{
    link_ = link;
    failureColor_ = failure;
    update();
}

QSize LinkLine::sizeHint() const
{
    const QSize text = fontMetrics().size(Qt::TextSingleLine, this->text());
    return text + QSize(2 * kFocusPadding, 0);
}

QSize LinkLine::minimumSizeHint() const { return QSize(0, sizeHint().height()); }

void LinkLine::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    const QRect area = rect().adjusted(kFocusPadding, 0, -kFocusPadding, 0);
    painter.setPen(textColor());
    painter.drawText(area, Qt::AlignCenter, fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
    if (!hasFocus()) return;
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.backgroundColor = palette().color(QPalette::Window);
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
}

QString LinkLine::guideFile() const { return guide_.isLocalFile() ? guide_.toLocalFile() : guide_.toString(); }

void LinkLine::openGuide()
{
    const QString file = guideFile();
    QString failure;
    if (guide_.isEmpty() || (guide_.isLocalFile() && !QFileInfo::exists(file)))
        failure = QString::fromUtf8(kGuideMissing);
    else if (!QDesktopServices::openUrl(guide_)) failure = QString::fromUtf8(kNoBrowser);
    if (failure.isEmpty()) {
        showText(QString::fromUtf8(kLinkLine), false);
        return;
    }
    printLine((kCannotOpenGuide + file + "（" + failure + "）").toStdString());
    showText(kCannotOpenGuide + failure, true);
}

void LinkLine::showText(const QString& text, bool failed)
{
    failed_ = failed;
    setText(text);
    // Where the guide was looked for, after a failure.
    setToolTip(failed ? Qt::convertFromPlainText(guideFile(), Qt::WhiteSpaceNormal) : QString());
    setAccessibleName(text);
    updateGeometry();
    update();
}

}  // namespace kelvatta::ui
