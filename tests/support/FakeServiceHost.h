#pragma once

#include "platform/ServiceHost.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A service host whose stop the test gives, and which records what the service reported.
class CFakeServiceHost : public Platform::IServiceHost {
  public:
    void SetStartedByServiceManager(bool bStarted);
    // Open fails from now on, with nError as the last system error.
    void FailOpen(int nError);
    // The current or next WaitForStop returns reason, with nCode as the stop code.
    void Stop(Platform::StopReason reason, int nCode);

    std::vector<Platform::ServiceState> GetStates() const;
    std::vector<std::string> GetStatusTexts() const;

    bool IsStartedByServiceManager() const override;
    bool Open() override;
    Platform::StopReason WaitForStop() override;
    int GetStopCode() const override;
    void RequestStop() override { Stop(Platform::StopReason::Requested, 0); }
    void ReportState(Platform::ServiceState nState) override;
    void ReportStatus(const std::string& strText) override;
    void SetUnknownControlHandler(std::function<void(int nControl)> onUnknownControl) override;
    // A control the service does not take arrives, as the manager would send it.
    void SendUnknownControl(int nControl);

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_stopped;
    bool m_bStartedByManager = false;
    int m_nOpenError = 0;
    bool m_bStopPending = false;
    Platform::StopReason m_stopReason = Platform::StopReason::Requested;
    int m_nStopCode = 0;
    std::vector<Platform::ServiceState> m_states;
    std::vector<std::string> m_statusTexts;
    std::function<void(int)> m_onUnknownControl;
};
