#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace Platform {
class IClock;
}

// Lends a fixed number of connection slots to the threads that post, in the order they asked, so
// that the process never holds more connections to the server than it has slots. A slot keeps its
// connection between loans; the borrower is told to start it afresh when it was never opened, sat
// idle past the borrower's idle limit (the server or a firewall may have dropped it without a word)
// or is older than the borrower's lifetime (the server's name may resolve elsewhere by now). Ages and
// waits go by the clock the pool is given. Any thread; one lock guards all.
class CConnectionPool {
  public:
    struct SLease {
        // -1 when no slot became free before the deadline.
        int nSlot = -1;
        // The slot's connection must be replaced before use.
        bool bRenew = false;
    };

    // How old a kept connection a borrower takes.
    struct SLimits {
        std::chrono::milliseconds maxIdle;
        std::chrono::milliseconds maxLifetime;
    };

    CConnectionPool(Platform::IClock& clock, int nSlots);
    CConnectionPool(const CConnectionPool&) = delete;
    CConnectionPool& operator=(const CConnectionPool&) = delete;

    // Waits until a slot is free or the pool's clock has reached nDeadline. A slot freed while threads wait
    // goes to the one that has waited longest, so a newcomer never overtakes a wait that counts against its
    // caller's time-out.
    SLease Acquire(int64_t nDeadline, const SLimits& limits);
    // Gives back a slot that Acquire lent; its connection counts as used now.
    void Release(int nSlot);

    // From now on a loan that finds no free slot fails at once, and the threads waiting fail now: a
    // stopping agent is not held up by posts queued behind a slow server. Slots still in use go on
    // being lent when they come back.
    void StopWaiting();

  private:
    struct SWaiter {
        SLimits limits;
        SLease lease;
        std::condition_variable_any granted;
    };

    // When a slot's connection was (re)opened and last given back, on the pool's clock.
    struct SSlotAge {
        bool bOpened = false;
        int64_t nOpened = 0;
        int64_t nLastUse = 0;
    };

    // With m_mutex held.
    SLease Lend(int nSlot, int64_t nNow, const SLimits& limits);
    void Forget(SWaiter* pWaiter);

    Platform::IClock& m_clock;
    std::mutex m_mutex;
    bool m_bWaitingStopped = false;
    // The most recently released last, so that a quiet period reuses one warm connection.
    std::vector<int> m_freeSlots;
    std::deque<SWaiter*> m_waiters;
    std::vector<SSlotAge> m_slotAges;
};

// One loan of a slot for the length of one exchange, given back when the loan ends.
class CConnectionLoan {
  public:
    // Waits until nDeadline (the pool's clock) at most for a free slot.
    CConnectionLoan(CConnectionPool& pool, int64_t nDeadline, const CConnectionPool::SLimits& limits)
        : m_pool(pool), m_lease(pool.Acquire(nDeadline, limits)) {}
    ~CConnectionLoan() {
        if (m_lease.nSlot >= 0)
            m_pool.Release(m_lease.nSlot);
    }
    CConnectionLoan(const CConnectionLoan&) = delete;
    CConnectionLoan& operator=(const CConnectionLoan&) = delete;

    bool IsHeld() const { return m_lease.nSlot >= 0; }
    // The slot lent; only while IsHeld.
    size_t GetSlot() const { return static_cast<size_t>(m_lease.nSlot); }
    // Whether the slot's connection must be replaced before use; asked once, as the asker replaces it.
    bool TakeRenewal() {
        bool bRenew = m_lease.bRenew;
        m_lease.bRenew = false;
        return bRenew;
    }

  private:
    CConnectionPool& m_pool;
    CConnectionPool::SLease m_lease;
};
