// An operation that stays executing after main has returned, until its subclass writes the state
// finished, later and possibly on another thread. The state is guarded by the operation's own
// concurrent queue (reads in parallel, writes alone) and every write is announced to observers, which
// is how the queue running the operation learns that it has started and that it has finished.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/operation.h"

namespace kelvatta {

class AsyncOperation : public Operation {
public:
    enum class State : std::uint8_t { ready, executing, finished };
    // "ready", "executing" or "finished": also the key under which a change involving the state is
    // announced.
    static std::string_view rawValue(State state);

    // The base's readiness (dependencies, cancellation), and the state still ready.
    bool isReady() const override;
    bool isExecuting() const override;
    bool isFinished() const override;
    bool isAsynchronous() const override;
    // A cancelled operation becomes finished without running main; any other becomes executing and
    // runs main. Returns when main returns.
    void start() override;
    // Does nothing here. A subclass begins its work and writes the state finished exactly once when
    // that work has ended.
    void main() override;

    State state() const;
    // Announces will(new), will(old), stores, then did(old), did(new), all on the calling thread.
    // Must not be called from a block running on this operation's state queue.
    void setState(State newValue);

private:
    ConcurrentQueue stateQueue_;
    State state_ = State::ready;
};

}  // namespace kelvatta
