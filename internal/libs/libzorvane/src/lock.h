// One operation on the chain at a time, across threads and processes.
#pragma once

namespace zvn {

// Holds the advisory lock (places().lock) while it lives. A thread that holds
// it already may take it again. locked() is false when the wait ran out
// (30 s); a missing /run lets the operation go on unlocked, with a record.
class ChainLock {
public:
    ChainLock();
    // Takes the lock only if it is free now: locked() is false, without a
    // record, where another operation holds it.
    struct NoWait {};
    explicit ChainLock(NoWait);
    ~ChainLock();
    ChainLock(const ChainLock &) = delete;
    ChainLock &operator=(const ChainLock &) = delete;
    bool locked() const { return locked_; }

private:
    bool locked_ = false;
};

}  // namespace zvn
