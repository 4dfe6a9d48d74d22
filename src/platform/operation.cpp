#include "platform/operation.h"

namespace kelvatta {

bool Operation::isReady() const
{
    if (isCancelled()) return true;
    std::vector<std::shared_ptr<Operation>> deps;
    {
        std::lock_guard lock(mutex_);
        deps = dependencies_;
    }
    for (const auto& dep : deps)
        if (!dep->isFinished()) return false;
    return true;
}

bool Operation::isExecuting() const { return executing_.load(); }
bool Operation::isFinished() const { return finished_.load(); }
bool Operation::isAsynchronous() const { return false; }

void Operation::start()
{
    if (!isCancelled()) {
        willChangeValueForKey("executing");
        executing_ = true;
        didChangeValueForKey("executing");
        main();
    }
    willChangeValueForKey("finished");
    willChangeValueForKey("executing");
    executing_ = false;
    finished_ = true;
    didChangeValueForKey("executing");
    didChangeValueForKey("finished");
}

void Operation::main() {}

bool Operation::isCancelled() const { return cancelled_.load(); }

void Operation::cancel()
{
    if (cancelled_.load()) return;
    willChangeValueForKey("cancelled");
    willChangeValueForKey("ready");
    cancelled_ = true;
    didChangeValueForKey("ready");
    didChangeValueForKey("cancelled");
}

void Operation::addDependency(const std::shared_ptr<Operation>& dep)
{
    if (!dep || dep.get() == this) return;
    {
        std::lock_guard lock(mutex_);
        dependencies_.push_back(dep);
    }
    // When the dependency finishes, this operation's readiness may change: say so.
    std::weak_ptr<Operation> weakSelf = weak_from_this();
    dep->addObserver([weakSelf](Operation& changed, std::string_view key, Change change) {
        if (change != Change::did || key != "finished" || !changed.isFinished()) return;
        if (auto self = weakSelf.lock()) {
            self->willChangeValueForKey("ready");
            self->didChangeValueForKey("ready");
        }
    });
}

void Operation::setQueuePriority(QueuePriority priority) { priority_ = static_cast<int>(priority); }

Operation::QueuePriority Operation::queuePriority() const { return static_cast<QueuePriority>(priority_.load()); }

void Operation::willChangeValueForKey(std::string_view key) { announce(key, Change::will); }
void Operation::didChangeValueForKey(std::string_view key) { announce(key, Change::did); }

long Operation::addObserver(Observer observer)
{
    std::lock_guard lock(mutex_);
    long token = nextToken_++;
    observers_.emplace_back(token, std::make_shared<Observer>(std::move(observer)));
    return token;
}

void Operation::removeObserver(long token)
{
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void Operation::announce(std::string_view key, Change change)
{
    // Observers run outside the lock: they may read this operation or add observers.
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(mutex_);
        observers.reserve(observers_.size());
        for (const auto& entry : observers_) observers.push_back(entry.second);
    }
    for (const auto& observer : observers) (*observer)(*this, key, change);
}

}  // namespace kelvatta
