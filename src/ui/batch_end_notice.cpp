#include "ui/batch_end_notice.h"

#include <string>

#include "state/texts.h"

namespace kelvatta::ui {

BatchEndNotice::BatchEndNotice(ContentView view, const QWidget& window, Clock clock)
    : view_(std::move(view)), window_(window), clock_(std::move(clock))
{
    token_ = view_.addObserver([this](ContentView::Field field) { observe(field); });
}

BatchEndNotice::~BatchEndNotice() { view_.removeObserver(token_); }

std::pair<QString, QString> BatchEndNotice::texts(const ContentView& view)
{
    if (view.showAlert() && view.errorMessage())
        return {QString::fromUtf8(kBatchFailed), QString::fromStdString(errorLineText(*view.errorMessage()))};
    return {QString::fromUtf8(kBatchDone), QString::fromStdString(view.doneMessage().value_or(std::string()))};
}

// A batch runs from the moment the view counts it running until no batch is: the files of a failed
// batch that were already being rewritten included.
void BatchEndNotice::observe(ContentView::Field field)
{
    if (field != ContentView::Field::batchesRunning) return;
    if (view_.batchesRunning() > 0) {
        if (!startedAt_) startedAt_ = clock_();
        return;
    }
    if (!startedAt_) return;
    const auto ran = clock_() - *startedAt_;
    startedAt_.reset();
    if (ran <= kLongBatch || !notifier_ || !window_.isVisible() || window_.isActiveWindow()) return;
    const auto [summary, body] = texts(view_);
    notifier_->notify(summary, body);
}

}  // namespace kelvatta::ui
