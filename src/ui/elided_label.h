// A label of one line, whatever the length of its text: what does not fit is elided in the middle
// (the start says what failed, the end why), and the whole text is its tooltip and its accessible
// name. The window's error line, which carries file names of any length: wrapped, it would grow and
// push the controls below it over one another.
#pragma once

#include <QLabel>

namespace kelvatta::ui {

class ElidedLabel final : public QLabel {
public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setFullText(const QString& text);

    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showFitted();

    QString full_;
};

}  // namespace kelvatta::ui
