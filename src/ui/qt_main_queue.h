// Puts Qt's event loop behind the main queue: while a QtMainQueue exists, every block posted to
// DispatchQueue::main() runs in the event loop of the thread that made it, one at a time, in the
// order posted. Make one on the GUI thread, after the QApplication and before anything posts.
#pragma once

#include <QObject>

namespace kelvatta::ui {

class QtMainQueue {
public:
    QtMainQueue();
    // Blocks posted afterwards (by exports still ending) are dropped: nothing is left to run them.
    ~QtMainQueue();
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

private:
    QObject receiver_;
};

}  // namespace kelvatta::ui
