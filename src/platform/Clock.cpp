#include "platform/Clock.h"

#include <chrono>

namespace Platform {

namespace {

// The steady clock, whose waits the standard library already makes immune to wall-clock changes.
class CSteadyClock final : public IClock {
  public:
    int64_t GetMonotonicMilliseconds() override {
        auto sinceOrigin = std::chrono::steady_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::milliseconds>(sinceOrigin).count();
    }

    void WaitOnce(std::unique_lock<std::mutex>& lock, std::condition_variable_any& wake,
                  int64_t nDeadline) override {
        // Deadlines past what the steady clock's nanoseconds hold (centuries) never come.
        if (nDeadline >= kNever / 1000000) {
            wake.wait(lock);
            return;
        }
        std::chrono::steady_clock::time_point deadline{std::chrono::milliseconds(nDeadline)};
        wake.wait_until(lock, deadline);
    }
};

} // namespace

IClock& SystemClock() {
    // Never destroyed: threads left running at the end of the process may still wait on it.
    static IClock* pClock = new CSteadyClock();
    return *pClock;
}

} // namespace Platform
