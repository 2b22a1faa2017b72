#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

// Lends a fixed number of connection slots to the threads that post, in the order they asked, so
// that the process never holds more connections to the server than it has slots. A slot keeps its
// connection between loans; the borrower is told to start it afresh when it was never opened, sat
// idle past the borrower's idle limit (the server or a firewall may have dropped it without a word)
// or is older than the borrower's lifetime (the server's name may resolve elsewhere by now). Any thread; one
// lock guards all.
class CConnectionPool {
  public:
    using Clock = std::chrono::steady_clock;

    struct SLease {
        // -1 when no slot became free before the deadline.
        int nSlot = -1;
        // The slot's connection must be replaced before use.
        bool bRenew = false;
    };

    // How old a kept connection a borrower takes.
    struct SLimits {
        Clock::duration maxIdle;
        Clock::duration maxLifetime;
    };

    explicit CConnectionPool(int nSlots);
    CConnectionPool(const CConnectionPool&) = delete;
    CConnectionPool& operator=(const CConnectionPool&) = delete;

    // Waits until a slot is free or the deadline has passed. A slot freed while threads wait goes to
    // the one that has waited longest, so a newcomer never overtakes a wait that counts against its
    // caller's time-out.
    SLease Acquire(Clock::time_point deadline, const SLimits& limits);
    // Gives back a slot that Acquire lent; its connection counts as used now.
    void Release(int nSlot);

    // From now on a loan that finds no free slot fails at once, and the threads waiting fail now: a
    // stopping agent is not held up by posts queued behind a slow server. Slots still in use go on
    // being lent when they come back.
    void StopWaiting();

    // Threads waiting in Acquire right now.
    size_t GetWaitingCount();

  private:
    struct SWaiter {
        SLimits limits;
        SLease lease;
        std::condition_variable granted;
    };

    // With m_mutex held.
    SLease Lend(int nSlot, Clock::time_point now, const SLimits& limits);
    void Forget(SWaiter* pWaiter);

    std::mutex m_mutex;
    bool m_bWaitingStopped = false;
    // The most recently released last, so that a quiet period reuses one warm connection.
    std::vector<int> m_freeSlots;
    std::deque<SWaiter*> m_waiters;
    // Per slot: when its connection was last given back and when it was (re)opened; the epoch for a
    // slot never opened.
    std::vector<Clock::time_point> m_lastUse;
    std::vector<Clock::time_point> m_opened;
};
