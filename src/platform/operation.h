// The base of queued work: readiness from dependencies, cancellation, priority, and announcements of
// state changes to observers (the queue that runs the operation among them).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace kelvatta {

class Operation : public std::enable_shared_from_this<Operation> {
public:
    enum class QueuePriority : int { veryLow = -8, low = -4, normal = 0, high = 4, veryHigh = 8 };
    enum class Change { will, did };
    using Observer = std::function<void(Operation&, std::string_view key, Change)>;

    Operation() = default;
    virtual ~Operation() = default;
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Ready once every dependency has finished, or once cancelled.
    virtual bool isReady() const;
    virtual bool isExecuting() const;
    virtual bool isFinished() const;
    // False: the operation ends when start returns. An asynchronous operation ends only when it
    // announces "finished" and isFinished reads true.
    virtual bool isAsynchronous() const;
    // Unless cancelled, marks the operation executing, runs main and marks it finished.
    virtual void start();
    virtual void main();

    bool isCancelled() const;
    virtual void cancel();

    // This operation becomes ready only after dep has finished. Both must be owned by shared_ptr.
    void addDependency(const std::shared_ptr<Operation>& dep);

    void setQueuePriority(QueuePriority priority);
    QueuePriority queuePriority() const;

    // Announce a change of the value under key to every observer, on the calling thread.
    void willChangeValueForKey(std::string_view key);
    void didChangeValueForKey(std::string_view key);

    // Returns a token for removeObserver.
    long addObserver(Observer observer);
    void removeObserver(long token);

private:
    void announce(std::string_view key, Change change);

    std::atomic<bool> cancelled_{false};
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> priority_{0};

    mutable std::mutex mutex_;  // guards the two lists below
    std::vector<std::shared_ptr<Operation>> dependencies_;
    std::vector<std::pair<long, std::shared_ptr<Observer>>> observers_;
    long nextToken_ = 1;
};

}  // namespace kelvatta
