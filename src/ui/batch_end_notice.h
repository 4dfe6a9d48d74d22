// Tells the desktop that a long batch has ended while the window was not active (behind other
// windows, minimised, on another workspace): a notification saying how it ended. A shorter batch
// ends where the user is still looking, and one that ends while the window is closing is not told.
#pragma once

#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "state/content_view.h"
#include "ui/desktop_notifier.h"

namespace kelvatta::ui {

class BatchEndNotice {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // A batch that runs longer than this is told of when it ends.
    static constexpr std::chrono::seconds kLongBatch{10};

    // Follows the batches of view, shown in window; tells nothing until given a notifier.
    BatchEndNotice(ContentView view, const QWidget& window, Clock clock = std::chrono::steady_clock::now);
    ~BatchEndNotice();
    BatchEndNotice(const BatchEndNotice&) = delete;
    BatchEndNotice& operator=(const BatchEndNotice&) = delete;

    void setNotifier(std::shared_ptr<DesktopNotifier> notifier) { notifier_ = std::move(notifier); }
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // What a notification says of the batch that has just ended: its summary and its body.
    static std::pair<QString, QString> texts(const ContentView& view);

private:
    void observe(ContentView::Field field);

    ContentView view_;
    const QWidget& window_;
    Clock clock_;
    std::shared_ptr<DesktopNotifier> notifier_;
    long token_ = 0;
    std::optional<std::chrono::steady_clock::time_point> startedAt_;
};

}  // namespace kelvatta::ui
