#include "client/ConnectionPool.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = CConnectionPool::Clock;

// Far beyond any test's run: a wait that should have been ended early hangs the test instead of
// passing at its deadline.
constexpr Clock::duration kForever = std::chrono::hours(24);

const CConnectionPool::SLimits kKeptForever{kForever, kForever};

Clock::time_point Never() {
    return Clock::now() + kForever;
}

// Polls until nCount threads wait in the pool; the deadline only bounds a failure.
bool WaitForWaiters(CConnectionPool& pool, size_t nCount) {
    Clock::time_point deadline = Clock::now() + 60s;
    while (pool.GetWaitingCount() != nCount) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace

TEST(ConnectionPool, FreedSlotGoesToTheThreadThatWaitedLongest) {
    CConnectionPool pool(1);
    int nSlot = pool.Acquire(Never(), kKeptForever).nSlot;
    std::string strOrder;
    auto borrow = [&](char cName) {
        int nLent = pool.Acquire(Never(), kKeptForever).nSlot;
        strOrder += cName; // only the slot's holder writes
        pool.Release(nLent);
    };
    std::thread first(borrow, 'A');
    ASSERT_TRUE(WaitForWaiters(pool, 1));
    std::thread second(borrow, 'B');
    ASSERT_TRUE(WaitForWaiters(pool, 2));
    pool.Release(nSlot);
    first.join();
    second.join();
    EXPECT_EQ(strOrder, "AB");
}

TEST(ConnectionPool, StopEndsEveryWaitButStillLendsFreedSlots) {
    CConnectionPool pool(1);
    int nSlot = pool.Acquire(Never(), kKeptForever).nSlot;
    CConnectionPool::SLease waited;
    std::thread waiter([&] { waited = pool.Acquire(Never(), kKeptForever); });
    ASSERT_TRUE(WaitForWaiters(pool, 1));
    pool.StopWaiting();
    waiter.join();
    EXPECT_EQ(waited.nSlot, -1);
    EXPECT_EQ(pool.Acquire(Never(), kKeptForever).nSlot, -1) << "no wait after the stop";
    pool.Release(nSlot);
    EXPECT_EQ(pool.Acquire(Never(), kKeptForever).nSlot, nSlot);
}

TEST(ConnectionPool, ConnectionIsRenewedWhenNeverOpenedIdleTooLongOrTooOld) {
    CConnectionPool kept(1);
    CConnectionPool::SLease lease = kept.Acquire(Never(), kKeptForever);
    EXPECT_TRUE(lease.bRenew) << "never opened";
    kept.Release(lease.nSlot);
    lease = kept.Acquire(Never(), kKeptForever);
    EXPECT_FALSE(lease.bRenew);
    kept.Release(lease.nSlot);

    // The waits below let time pass; nothing waits for another thread.
    CConnectionPool idle(1);
    const CConnectionPool::SLimits idleLimit{20ms, kForever};
    idle.Release(idle.Acquire(Never(), idleLimit).nSlot);
    std::this_thread::sleep_for(40ms);
    lease = idle.Acquire(Never(), idleLimit);
    EXPECT_TRUE(lease.bRenew) << "idle past the limit";
    CConnectionPool::SLease handedOver;
    std::thread waiter([&] { handedOver = idle.Acquire(Never(), idleLimit); });
    ASSERT_TRUE(WaitForWaiters(idle, 1));
    std::this_thread::sleep_for(40ms);
    idle.Release(lease.nSlot);
    waiter.join();
    EXPECT_FALSE(handedOver.bRenew) << "in use until it was handed over, however long the waiter waited";

    CConnectionPool aging(1);
    const CConnectionPool::SLimits lifetimeLimit{kForever, 20ms};
    aging.Release(aging.Acquire(Never(), lifetimeLimit).nSlot);
    std::this_thread::sleep_for(40ms);
    EXPECT_TRUE(aging.Acquire(Never(), lifetimeLimit).bRenew) << "older than the lifetime";
}
