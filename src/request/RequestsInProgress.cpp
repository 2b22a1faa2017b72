#include "request/RequestsInProgress.h"

CRequestsInProgress::Claim CRequestsInProgress::TryClaim(const std::string& strPath,
                                                         const std::shared_ptr<CWriteWait>& pWait) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto claim = m_paths.try_emplace(strPath);
    if (claim.second)
        return Claim::Taken;
    CEntry& entry = claim.first->second;
    if (entry.bRunning) {
        entry.bAskedAgain = true;
        return Claim::Running;
    }
    // A waiting request freed without coming back (at a stop, or refused by a full pool) leaves its
    // entry expired.
    std::shared_ptr<CWriteWait> pWaiter = entry.waiter.lock();
    if (pWaiter && pWaiter != pWait)
        return Claim::Waiting;
    entry = CEntry();
    return Claim::Taken;
}

bool CRequestsInProgress::ReleaseUnlessAskedAgain(const std::string& strPath) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto claim = m_paths.find(strPath);
    if (claim->second.bAskedAgain) {
        claim->second.bAskedAgain = false;
        return true;
    }
    m_paths.erase(claim);
    return false;
}

void CRequestsInProgress::Release(const std::string& strPath) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_paths.erase(strPath);
}

void CRequestsInProgress::Park(const std::string& strPath, const std::shared_ptr<CWriteWait>& pWait) {
    std::lock_guard<std::mutex> guard(m_mutex);
    CEntry& entry = m_paths[strPath];
    entry.bRunning = false;
    entry.bAskedAgain = false;
    entry.waiter = pWait;
}

CRequestClaim::CRequestClaim(CRequestsInProgress& inProgress, const std::string& strPath,
                             const std::shared_ptr<CWriteWait>& pWait)
    : m_inProgress(inProgress), m_strPath(strPath), m_state(inProgress.TryClaim(strPath, pWait)),
      m_bHeld(m_state == CRequestsInProgress::Claim::Taken) {}

CRequestClaim::~CRequestClaim() {
    if (m_bHeld)
        m_inProgress.Release(m_strPath);
}

bool CRequestClaim::WasAskedAgain() {
    m_bHeld = m_inProgress.ReleaseUnlessAskedAgain(m_strPath);
    return m_bHeld;
}

void CRequestClaim::ParkForWriter(const std::shared_ptr<CWriteWait>& pWait) {
    m_inProgress.Park(m_strPath, pWait);
    m_bHeld = false;
}
