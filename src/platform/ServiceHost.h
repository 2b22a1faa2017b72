#pragma once

#include <functional>
#include <memory>
#include <string>

namespace Platform {

// The states a service reports to its manager, numbered as the Windows service status.
enum class ServiceState { Stopped = 1, StartPending = 2, StopPending = 3, Running = 4 };

// Where a stop came from.
enum class StopReason {
    // The service manager asked the service to stop.
    ServiceManager,
    // The user at the console (Ctrl-C), or a stop sent to the process from outside.
    Console,
    // RequestStop of this process.
    Requested,
    // The wait itself failed; GetLastError() tells why. The agent stops all the same.
    Failed
};

// The agent's link to the service manager of its platform, or to the console when no manager
// started it: its stop control and its status reports.
//
// Threads: Open, WaitForStop and ReportState run on the service thread; RequestStop and
// ReportStatus on any thread, RequestStop also before Open. Open must run before the process
// creates its other threads.
class IServiceHost {
  public:
    virtual ~IServiceHost() = default;

    // True when the service manager started this process and waits for its status reports.
    virtual bool IsStartedByServiceManager() const = 0;

    // Takes over the stop control. False, with GetLastError(), when it cannot be had; a stop then
    // ends the process the platform's default way.
    virtual bool Open() = 0;

    // Blocks until a stop arrives; a stop that came after Open and before the wait is not lost.
    virtual StopReason WaitForStop() = 0;
    // The platform's own number for the last stop that WaitForStop returned (the signal, the
    // control code): for the log.
    virtual int GetStopCode() const = 0;

    // Makes the current or next WaitForStop return Requested.
    virtual void RequestStop() = 0;

    // Status reports; they do nothing when no service manager started the process.
    virtual void ReportState(ServiceState nState) = 0;
    // A short free text on the service's state, for the manager's status display.
    virtual void ReportStatus(const std::string& strText) = 0;

    // Called with the code of a control the service does not take (on Windows: any but stop,
    // shutdown, pause, continue and interrogate, such as a user-defined code sent with "sc control"),
    // on the thread that delivers controls. Set before Open.
    virtual void SetUnknownControlHandler(std::function<void(int nControl)> onUnknownControl) = 0;
};

// The service host of this operating system; one per process.
class CServiceHost : public IServiceHost {
  public:
    CServiceHost();
    ~CServiceHost() override;
    CServiceHost(const CServiceHost&) = delete;
    CServiceHost& operator=(const CServiceHost&) = delete;

    bool IsStartedByServiceManager() const override;
    bool Open() override;
    StopReason WaitForStop() override;
    int GetStopCode() const override;
    void RequestStop() override;
    void ReportState(ServiceState nState) override;
    void ReportStatus(const std::string& strText) override;
    void SetUnknownControlHandler(std::function<void(int nControl)> onUnknownControl) override;

  private:
    class CImpl;
    std::unique_ptr<CImpl> m_pImpl;
};

} // namespace Platform
