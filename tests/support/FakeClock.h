#pragma once

#include "platform/Clock.h"

#include <condition_variable>
#include <mutex>
#include <set>

// A clock that stands still until the test advances it. Waits end when the time they wait for is
// reached by Advance, or by their own wake-up, never by the passing of real time.
class CFakeClock final : public Platform::IClock {
  public:
    int64_t GetMonotonicMilliseconds() override;
    void WaitOnce(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake,
                  int64_t nDeadline) override;

    // Moves the time on and wakes every wait whose deadline it reaches.
    void Advance(int64_t nMilliseconds);
    // True once nCount waits with a deadline are inside WaitOnce at the same time (false after a deadline in
    // real time that only bounds a failure): a test advances past a deadline only once it is waited for.
    bool WaitForWaiters(size_t nCount);

  private:
    // Locks the caller's mutex and then m_mutex as one, so that a wait checks the time and starts
    // waiting with no Advance in between.
    class CBothLocks;

    std::mutex m_mutex;
    // Starts far from zero, as a real clock would.
    int64_t m_nNow = 1000000000;
    std::multiset<std::condition_variable_any*> m_waiting;
    std::condition_variable m_waitersChanged;
};
