#include "client/ConnectionPool.h"

#include <algorithm>

CConnectionPool::CConnectionPool(int nSlots)
    : m_lastUse(static_cast<size_t>(nSlots)), m_opened(static_cast<size_t>(nSlots)) {
    for (int nSlot = nSlots - 1; nSlot >= 0; --nSlot)
        m_freeSlots.push_back(nSlot);
}

CConnectionPool::SLease CConnectionPool::Acquire(Clock::time_point deadline, const SLimits& limits) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_freeSlots.empty()) {
        int nSlot = m_freeSlots.back();
        m_freeSlots.pop_back();
        return Lend(nSlot, Clock::now(), limits);
    }
    if (m_bWaitingStopped)
        return SLease();
    SWaiter waiter{limits, SLease(), {}};
    m_waiters.push_back(&waiter);
    while (waiter.lease.nSlot < 0) {
        bool bTimedOut = waiter.granted.wait_until(lock, deadline) == std::cv_status::timeout;
        if (waiter.lease.nSlot < 0 && (bTimedOut || m_bWaitingStopped)) {
            Forget(&waiter);
            return SLease();
        }
    }
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
    Clock::time_point now = Clock::now();
    m_lastUse[static_cast<size_t>(nSlot)] = now;
    if (m_waiters.empty()) {
        m_freeSlots.push_back(nSlot);
        return;
    }
    SWaiter* pWaiter = m_waiters.front();
    m_waiters.pop_front();
    pWaiter->lease = Lend(nSlot, now, pWaiter->limits);
    pWaiter->granted.notify_one();
}

size_t CConnectionPool::GetWaitingCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waiters.size();
}

void CConnectionPool::Forget(SWaiter* pWaiter) {
    m_waiters.erase(std::find(m_waiters.begin(), m_waiters.end(), pWaiter));
}

CConnectionPool::SLease CConnectionPool::Lend(int nSlot, Clock::time_point now, const SLimits& limits) {
    size_t nIndex = static_cast<size_t>(nSlot);
    bool bNeverOpened = m_opened[nIndex] == Clock::time_point();
    SLease lease;
    lease.nSlot = nSlot;
    lease.bRenew = bNeverOpened || now - m_lastUse[nIndex] >= limits.maxIdle ||
                   now - m_opened[nIndex] >= limits.maxLifetime;
    if (lease.bRenew)
        m_opened[nIndex] = now;
    return lease;
}
