#pragma once

#include "request/StableFileCheck.h"

#include <algorithm>
#include <chrono>

// The write-complete wait of one file. A file whose writer still has it does not keep its request
// slot: its request goes back to the pool for a pause that grows, carrying this wait, and probes
// the file again when it comes back. Used by one request thread at a time.
class CWriteWait {
  public:
    using Clock = std::chrono::steady_clock;

    CWriteWait(Clock::time_point began, std::chrono::milliseconds stableWindow)
        : m_began(began), m_stable(stableWindow) {}

    // The whole wait is bounded by a budget of time from its beginning, however often it paused.
    bool IsOverBudget(Clock::time_point now, std::chrono::milliseconds budget) const {
        return now - m_began >= budget;
    }
    // The first slice probes a few times, so that a file finished within moments needs no pause;
    // later slices probe once, the pause before them having done the waiting.
    int GetProbesThisSlice() const { return m_bPaused ? 1 : kFirstSliceProbes; }
    // The pause before the next slice. After a probe that found the file open: twice the probe
    // interval at first, doubling up to twenty times the interval. After one that found it closed
    // but not yet unchanged for the whole window: the rest of the window.
    std::chrono::milliseconds NextPause(std::chrono::milliseconds interval, bool bBusy,
                                        Clock::time_point now) {
        m_bPaused = true;
        if (!bBusy)
            return (std::max)(interval, m_stable.TimeLeft(now));
        std::chrono::milliseconds longest = interval * kLongestPauseIntervals;
        std::chrono::milliseconds pause = interval * kFirstPauseIntervals;
        for (int i = 0; i < m_nBusyPauses && pause < longest; ++i)
            pause *= 2;
        ++m_nBusyPauses;
        return (std::min)(pause, longest);
    }
    // A file that changed between its wait and its opening is waited for again, with a whole budget.
    void Restart(Clock::time_point now) {
        m_began = now;
        m_nBusyPauses = 0;
        m_stable.Reset();
        ++m_nRestarts;
    }
    int GetRestarts() const { return m_nRestarts; }
    // Where no lease can tell, the size and time must stay unchanged for a window; its state lives as
    // long as the wait.
    CStableFileCheck& GetStableCheck() { return m_stable; }

    static constexpr int kFirstSliceProbes = 4;
    static constexpr int kFirstPauseIntervals = 2;
    static constexpr int kLongestPauseIntervals = 20;

  private:
    Clock::time_point m_began;
    CStableFileCheck m_stable;
    bool m_bPaused = false;
    int m_nBusyPauses = 0;
    int m_nRestarts = 0;
};
