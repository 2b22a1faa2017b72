#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>

namespace Platform {

// Time as the agent's waits see it: a monotonic now and a wait for a deadline or a wake-up. The
// agent's threads wait through the clock, so that a test can hand a clock it advances itself.
class IClock {
  public:
    // A deadline that never comes: the wait ends only by a wake-up.
    // Parenthesised, as every min and max of a header: <windows.h> defines both as macros.
    static constexpr int64_t kNever = (std::numeric_limits<int64_t>::max)();

    virtual ~IClock() = default;

    // Milliseconds that never go back and do not wrap in the life of a process; the origin is
    // arbitrary, only differences mean anything. Any thread.
    virtual int64_t GetMonotonicMilliseconds() = 0;

    // Blocks on wake, releasing lock meanwhile, until it is notified or the clock reaches
    // nDeadline; may also return early. lock is held on entry and on return.
    virtual void WaitOnce(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake,
                          int64_t nDeadline) = 0;

    // Waits until done() holds (checked with lock held) or the deadline has passed; done()'s last value.
    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake, int64_t nDeadline,
                   const std::function<bool()>& done) {
        while (!done()) {
            if (GetMonotonicMilliseconds() >= nDeadline)
                return done();
            WaitOnce(lock, wake, nDeadline);
        }
        return true;
    }

    // nDelay milliseconds from now, kNever when that lies beyond what the clock counts.
    int64_t DeadlineAfter(int64_t nDelay) {
        int64_t nNow = GetMonotonicMilliseconds();
        return nDelay >= kNever - nNow ? kNever : nNow + nDelay;
    }
};

// The operating system's monotonic clock; modules reach it through the environment they are given.
IClock& SystemClock();

} // namespace Platform
