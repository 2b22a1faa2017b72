#pragma once

#include "request/RequestEnvironment.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CStatusReport;
namespace Platform {
class IClock;
}

// The one thread that re-sends the archive's pending activities (CPendingActivityResend), so that no
// request waits for a re-send and only one re-send runs at a time. While the archive holds
// activities it re-sends them on its own: first kFirstWait after they were archived (or after the
// start), then, while the server does not answer, after a wait that doubles up to kLongestWait; a
// re-send that got its answers starts over at kFirstWait. An acknowledged post asks for a re-send at
// once (Kick); a Kick during a re-send makes it run once more afterwards.
//
// Its waits run on the clock it is given. Threads: Start and Stop on the service thread (tests: the
// test's), Kick and NoteArchived on any thread. Without a running sender (before Start, after Stop) Kick and
// NoteArchived do nothing: the archive keeps the activities for the next start. Stop ends a wait at once and
// a re-send before its next batch; a post in flight ends within its own time-out.
class CPendingActivitySender {
  public:
    static constexpr std::chrono::milliseconds kFirstWait{60 * 1000};
    static constexpr std::chrono::milliseconds kLongestWait{15 * 60 * 1000};

    // Both outlive the sender; the status report hears what each re-send left in the archive.
    CPendingActivitySender(Platform::IClock& clock, CStatusReport& statusReport);
    ~CPendingActivitySender();
    CPendingActivitySender(const CPendingActivitySender&) = delete;
    CPendingActivitySender& operator=(const CPendingActivitySender&) = delete;

    // Starts the thread for the archive and server of the environment; its first re-send follows
    // after kFirstWait.
    void Start(const CRequestEnvironment& environment);
    // Tells the thread to end, without waiting: no new re-send starts, one running ends before its
    // next batch.
    void RequestStop();
    // RequestStop, then waits for the thread's end.
    void Stop();

    // Asks for a re-send at once.
    void Kick();
    // An activity was archived: a re-send follows after the current wait, unless one is due already.
    void NoteArchived();

    // Ways to wait for the sender instead of sleeping. WaitUntilIdle is true once every Kick made
    // before the call has been served by a re-send that started after it; WaitForResends once nCount
    // re-sends have ended since Start. Both false after the time-out in real time, which only bounds
    // a failure.
    bool WaitUntilIdle(std::chrono::milliseconds timeout);
    bool WaitForResends(int nCount, std::chrono::milliseconds timeout);
    int GetResendCount() const;
    // The wait before the next re-send that the timer would start.
    std::chrono::milliseconds GetRetryWait() const;

  private:
    void ThreadMain();
    // After a re-send: the back-off and the timer. Called with m_mutex held.
    void Schedule(bool bCompleted, size_t nLeft);
    void Arm();
    // Starts the thread if Start could not. Called with m_mutex held.
    void EnsureThread();

    Platform::IClock& m_clock;
    CStatusReport& m_statusReport;
    // Guards everything below but m_bStopping, which the re-send reads without it.
    mutable std::mutex m_mutex;
    std::condition_variable_any m_changed;
    std::thread m_thread;
    CRequestEnvironment m_environment;
    bool m_bRunning = false;
    std::atomic<bool> m_bStopping{false};
    bool m_bKicked = false;
    bool m_bArmed = false;
    // On m_clock.
    int64_t m_nDue = 0;
    std::chrono::milliseconds m_retryWait = kFirstWait;
    // Kicks made, and the count of kicks that the last ended re-send had seen when it started.
    long m_nKicks = 0;
    long m_nKicksServed = 0;
    int m_nResends = 0;
};
