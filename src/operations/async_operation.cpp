#include "operations/async_operation.h"

namespace kelvatta {

std::string_view AsyncOperation::rawValue(State state)
{
    switch (state) {
    case State::ready: return "ready";
    case State::executing: return "executing";
    case State::finished: return "finished";
    }
    return "ready";
}

bool AsyncOperation::isReady() const
{
    if (!Operation::isReady()) return false;
    return state() == State::ready;
}

bool AsyncOperation::isExecuting() const { return state() == State::executing; }
bool AsyncOperation::isFinished() const { return state() == State::finished; }
bool AsyncOperation::isAsynchronous() const { return true; }

void AsyncOperation::start()
{
    if (isCancelled()) {
        setState(State::finished);
        return;
    }
    setState(State::executing);
    main();
}

void AsyncOperation::main() {}

AsyncOperation::State AsyncOperation::state() const
{
    return stateQueue_.sync([this] { return state_; });
}

void AsyncOperation::setState(State newValue)
{
    // The writes of one operation never overlap (executing before main begins, finished once its
    // work has ended), so the old value can be read without the queue.
    const State oldValue = state_;
    willChangeValueForKey(rawValue(newValue));
    willChangeValueForKey(rawValue(oldValue));
    stateQueue_.sync(ConcurrentQueue::barrier, [this, newValue] { state_ = newValue; });
    didChangeValueForKey(rawValue(oldValue));
    didChangeValueForKey(rawValue(newValue));
}

}  // namespace kelvatta
