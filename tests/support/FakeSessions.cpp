#include "support/FakeSessions.h"

#include "platform/Thread.h"

void CFakeSessions::SetUser(const std::string& strUser) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_strUser = strUser;
    m_nError = 0;
}

void CFakeSessions::SetNone(int nError) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_strUser.clear();
    m_nError = nError;
}

bool CFakeSessions::GetFirstSessionUser(std::string& strUser) {
    std::lock_guard<std::mutex> guard(m_mutex);
    strUser = m_strUser;
    Platform::SetLastError(m_nError);
    return !m_strUser.empty();
}
