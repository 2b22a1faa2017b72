#include "client/ConnectionPool.h"

#include "platform/Clock.h"

#include <algorithm>

CConnectionPool::CConnectionPool(Platform::IClock& clock, int nSlots)
    : m_clock(clock), m_slotAges(static_cast<size_t>(nSlots)) {
    for (int nSlot = nSlots - 1; nSlot >= 0; --nSlot)
        m_freeSlots.push_back(nSlot);
}

CConnectionPool::SLease CConnectionPool::Acquire(int64_t nDeadline, const SLimits& limits) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_freeSlots.empty()) {
        int nSlot = m_freeSlots.back();
        m_freeSlots.pop_back();
        return Lend(nSlot, m_clock.GetMonotonicMilliseconds(), limits);
    }
    if (m_bWaitingStopped)
        return SLease();
    SWaiter waiter{limits, SLease(), {}};
    m_waiters.push_back(&waiter);
    m_clock.WaitUntil(lock, waiter.granted, nDeadline,
                      [&] { return waiter.lease.nSlot >= 0 || m_bWaitingStopped; });
    // A slot handed over just as the wait ended is still taken: Release has dequeued this waiter.
    if (waiter.lease.nSlot < 0)
        Forget(&waiter);
    return waiter.lease;
}

void CConnectionPool::StopWaiting() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bWaitingStopped = true;
    for (SWaiter* pWaiter : m_waiters)
        pWaiter->granted.notify_one();
}

void CConnectionPool::Release(int nSlot) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int64_t nNow = m_clock.GetMonotonicMilliseconds();
    m_slotAges[static_cast<size_t>(nSlot)].nLastUse = nNow;
    if (m_waiters.empty()) {
        m_freeSlots.push_back(nSlot);
        return;
    }
    SWaiter* pWaiter = m_waiters.front();
    m_waiters.pop_front();
    pWaiter->lease = Lend(nSlot, nNow, pWaiter->limits);
    pWaiter->granted.notify_one();
}

void CConnectionPool::Forget(SWaiter* pWaiter) {
    m_waiters.erase(std::find(m_waiters.begin(), m_waiters.end(), pWaiter));
}

CConnectionPool::SLease CConnectionPool::Lend(int nSlot, int64_t nNow, const SLimits& limits) {
    SSlotAge& age = m_slotAges[static_cast<size_t>(nSlot)];
    SLease lease;
    lease.nSlot = nSlot;
    lease.bRenew = !age.bOpened || nNow - age.nLastUse >= limits.maxIdle.count() ||
                   nNow - age.nOpened >= limits.maxLifetime.count();
    if (lease.bRenew) {
        age.bOpened = true;
        age.nOpened = nNow;
    }
    return lease;
}
