#include "client/ConnectionPool.h"
#include "support/FakeClock.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Far beyond any time a test advances its clock: a wait that should have been ended early hangs the
// test instead of passing at its deadline. A deadline the clock could reach, unlike kNever, so that the
// fake clock counts the wait and the test can wait for it.
constexpr std::chrono::milliseconds kForever = 24h;

const CConnectionPool::SLimits kKeptForever{kForever, kForever};

class ConnectionPool : public ::testing::Test {
  protected:
    int64_t Never() { return m_clock.DeadlineAfter(kForever.count()); }

    CFakeClock m_clock;
};

} // namespace

TEST_F(ConnectionPool, FreedSlotGoesToTheThreadThatWaitedLongest) {
    CConnectionPool pool(m_clock, 1);
    int nSlot = pool.Acquire(Never(), kKeptForever).nSlot;
    std::string strOrder;
    auto borrow = [&](char cName) {
        int nLent = pool.Acquire(Never(), kKeptForever).nSlot;
        strOrder += cName; // only the slot's holder writes
        pool.Release(nLent);
    };
    std::thread first(borrow, 'A');
    ASSERT_TRUE(m_clock.WaitForWaiters(1));
    std::thread second(borrow, 'B');
    ASSERT_TRUE(m_clock.WaitForWaiters(2));
    pool.Release(nSlot);
    first.join();
    second.join();
    EXPECT_EQ(strOrder, "AB");
}

TEST_F(ConnectionPool, StopEndsEveryWaitButStillLendsFreedSlots) {
    CConnectionPool pool(m_clock, 1);
    int nSlot = pool.Acquire(Never(), kKeptForever).nSlot;
    CConnectionPool::SLease waited;
    std::thread waiter([&] { waited = pool.Acquire(Never(), kKeptForever); });
    ASSERT_TRUE(m_clock.WaitForWaiters(1));
    pool.StopWaiting();
    waiter.join();
    EXPECT_EQ(waited.nSlot, -1);
    EXPECT_EQ(pool.Acquire(Never(), kKeptForever).nSlot, -1) << "no wait after the stop";
    pool.Release(nSlot);
    EXPECT_EQ(pool.Acquire(Never(), kKeptForever).nSlot, nSlot);
}

TEST_F(ConnectionPool, WaitEndsWhenThePoolsClockReachesItsDeadline) {
    CConnectionPool pool(m_clock, 1);
    int nSlot = pool.Acquire(Never(), kKeptForever).nSlot;
    CConnectionPool::SLease waited;
    std::thread waiter([&] { waited = pool.Acquire(m_clock.DeadlineAfter(200), kKeptForever); });
    ASSERT_TRUE(m_clock.WaitForWaiters(1));
    m_clock.Advance(200);
    waiter.join();
    EXPECT_EQ(waited.nSlot, -1);
    pool.Release(nSlot);
    EXPECT_EQ(pool.Acquire(Never(), kKeptForever).nSlot, nSlot) << "the timed-out wait left no claim behind";
}

TEST_F(ConnectionPool, ConnectionIsRenewedWhenNeverOpenedIdleTooLongOrTooOld) {
    CConnectionPool kept(m_clock, 1);
    CConnectionPool::SLease lease = kept.Acquire(Never(), kKeptForever);
    EXPECT_TRUE(lease.bRenew) << "never opened";
    kept.Release(lease.nSlot);
    m_clock.Advance(kForever.count() / 2);
    lease = kept.Acquire(Never(), kKeptForever);
    EXPECT_FALSE(lease.bRenew);
    kept.Release(lease.nSlot);

    CConnectionPool idle(m_clock, 1);
    const CConnectionPool::SLimits idleLimit{20ms, kForever};
    idle.Release(idle.Acquire(Never(), idleLimit).nSlot);
    m_clock.Advance(19);
    lease = idle.Acquire(Never(), idleLimit);
    EXPECT_FALSE(lease.bRenew) << "idle just short of the limit";
    idle.Release(lease.nSlot);
    m_clock.Advance(20);
    lease = idle.Acquire(Never(), idleLimit);
    EXPECT_TRUE(lease.bRenew) << "idle up to the limit";
    CConnectionPool::SLease handedOver;
    std::thread waiter([&] { handedOver = idle.Acquire(Never(), idleLimit); });
    ASSERT_TRUE(m_clock.WaitForWaiters(1));
    m_clock.Advance(40);
    idle.Release(lease.nSlot);
    waiter.join();
    EXPECT_FALSE(handedOver.bRenew) << "in use until it was handed over, however long the waiter waited";

    CConnectionPool aging(m_clock, 1);
    const CConnectionPool::SLimits lifetimeLimit{kForever, 20ms};
    aging.Release(aging.Acquire(Never(), lifetimeLimit).nSlot);
    m_clock.Advance(10);
    lease = aging.Acquire(Never(), lifetimeLimit);
    EXPECT_FALSE(lease.bRenew) << "younger than the lifetime";
    aging.Release(lease.nSlot);
    m_clock.Advance(10);
    EXPECT_TRUE(aging.Acquire(Never(), lifetimeLimit).bRenew)
        << "as old as the lifetime, though used a moment ago";
}
