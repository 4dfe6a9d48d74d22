#include "ui/qt_main_queue.h"

#include <mutex>

#include "platform/dispatch.h"

namespace kelvatta::ui {
namespace {

// The backend itself is never destroyed: a thread may have taken it from the main queue just
// before the QtMainQueue went, and then posts to it afterwards.
class EventLoopBackend final : public MainQueueBackend {
public:
    void post(Block block) override
    {
        std::lock_guard lock(mutex_);
        if (!receiver_) return;
        // Queued calls to one receiver are delivered in the order they were posted.
        QMetaObject::invokeMethod(
            receiver_, [block = std::move(block)] { block(); }, Qt::QueuedConnection);
    }

    void setReceiver(QObject* receiver)
    {
        std::lock_guard lock(mutex_);
        receiver_ = receiver;
    }

private:
    std::mutex mutex_;
    QObject* receiver_ = nullptr;
};

EventLoopBackend& backend()
{
    static auto* instance = new EventLoopBackend;
    return *instance;
}

}  // namespace

QtMainQueue::QtMainQueue()
{
    backend().setReceiver(&receiver_);
    setMainQueueBackend(&backend());
}

QtMainQueue::~QtMainQueue()
{
    backend().setReceiver(nullptr);
    setMainQueueBackend(nullptr);
}

}  // namespace kelvatta::ui
