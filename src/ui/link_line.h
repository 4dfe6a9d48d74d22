// The footer's link line: "使用说明", which opens the user guide. A button to the keyboard and to
// screen readers (Tab reaches it; Space, Return or Enter opens the guide), drawn as an underlined
// text. When the guide cannot be opened it says so in its own place, until a later try succeeds.
#pragma once

#include <QAbstractButton>
#include <QUrl>

namespace kelvatta::ui {

class LinkLine final : public QAbstractButton {
public:
    explicit LinkLine(QUrl guide, QWidget* parent = nullptr);

    // The colours of the text, as it links and when it says the guide cannot be opened.
    void setColors(const QColor& link, const QColor& failure);
    const QColor& textColor() const { return failed_ ? failureColor_ : link_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void openGuide();
    QString guideFile() const;
    void showText(const QString& text, bool failed);

    QUrl guide_;
    bool failed_ = false;
    QColor link_, failureColor_;
};

}  // namespace kelvatta::ui
