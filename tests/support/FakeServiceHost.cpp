#include "support/FakeServiceHost.h"

#include "platform/Thread.h"

void CFakeServiceHost::SetStartedByServiceManager(bool bStarted) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bStartedByManager = bStarted;
}

void CFakeServiceHost::FailOpen(int nError) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_nOpenError = nError;
}

void CFakeServiceHost::Stop(Platform::StopReason reason, int nCode) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bStopPending = true;
    m_stopReason = reason;
    m_nStopCode = nCode;
    m_stopped.notify_all();
}

std::vector<Platform::ServiceState> CFakeServiceHost::GetStates() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_states;
}

std::vector<std::string> CFakeServiceHost::GetStatusTexts() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_statusTexts;
}

bool CFakeServiceHost::IsStartedByServiceManager() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_bStartedByManager;
}

bool CFakeServiceHost::Open() {
    std::lock_guard<std::mutex> guard(m_mutex);
    Platform::SetLastError(m_nOpenError);
    return m_nOpenError == 0;
}

Platform::StopReason CFakeServiceHost::WaitForStop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stopped.wait(lock, [this] { return m_bStopPending; });
    m_bStopPending = false;
    return m_stopReason;
}

int CFakeServiceHost::GetStopCode() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_nStopCode;
}

void CFakeServiceHost::ReportState(Platform::ServiceState nState) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_states.push_back(nState);
}

void CFakeServiceHost::ReportStatus(const std::string& strText) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_statusTexts.push_back(strText);
}

void CFakeServiceHost::SetUnknownControlHandler(std::function<void(int nControl)> onUnknownControl) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onUnknownControl = std::move(onUnknownControl);
}

void CFakeServiceHost::SendUnknownControl(int nControl) {
    std::function<void(int)> onUnknownControl;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        onUnknownControl = m_onUnknownControl;
    }
    if (onUnknownControl)
        onUnknownControl(nControl);
}
