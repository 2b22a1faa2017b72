#include "support/FakeClock.h"

#include <chrono>

// Locks the caller's mutex and then the clock's as one lock. Lock order: the caller's, then the clock's.
class CFakeClock::CBothLocks {
  public:
    CBothLocks(std::unique_lock<std::mutex>& outer, std::mutex& inner) : m_outer(outer), m_inner(inner) {}
    void lock() {
        m_outer.lock();
        m_inner.lock();
    }
    void unlock() {
        m_inner.unlock();
        m_outer.unlock();
    }

  private:
    std::unique_lock<std::mutex>& m_outer;
    std::mutex& m_inner;
};

int64_t CFakeClock::GetMonotonicMilliseconds() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_nNow;
}

void CFakeClock::WaitOnce(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake,
                          int64_t nDeadline) {
    // Only a wake-up ends it; no Advance concerns it.
    if (nDeadline == kNever) {
        wake.wait(lock);
        return;
    }
    std::unique_lock<std::mutex> guard(m_mutex);
    if (m_nNow >= nDeadline)
        return;
    auto waiting = m_waiting.insert(&wake);
    m_waitersChanged.notify_all();
    // Both locks are given up inside the wait, so an Advance cannot slip in between the check of the
    // time and the start of the wait; the wait leaves the set before the clock's lock is given up.
    guard.release();
    CBothLocks both(lock, m_mutex);
    wake.wait(both);
    m_waiting.erase(waiting);
    m_mutex.unlock();
}

void CFakeClock::Advance(int64_t nMilliseconds) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_nNow += nMilliseconds;
    for (std::condition_variable_any* pWake : m_waiting)
        pWake->notify_all();
}

bool CFakeClock::WaitForWaiters(size_t nCount) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_waitersChanged.wait_for(lock, std::chrono::seconds(60),
                                     [&] { return m_waiting.size() >= nCount; });
}
