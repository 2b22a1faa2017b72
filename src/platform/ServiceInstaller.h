#pragma once

#include <string>

namespace Platform {

// The agent's entry in the service manager of this platform: installed to run an executable,
// started on demand only, stopped and removed.
class CServiceInstaller {
  public:
    // strServiceName names the service. strDefinitionFolder moves the manager's store of service
    // definitions to a folder of files (tests, staged installs); empty: the system's own. The
    // Windows service control manager has no such store: there a folder makes OpenManager fail.
    explicit CServiceInstaller(std::string strServiceName, std::string strDefinitionFolder = std::string());

    // The service manager can be changed by this process.
    bool OpenManager() const;
    // The service is known to the manager.
    bool IsInstalled() const;
    // The service's entry can be stopped and removed.
    bool OpenServiceEntry() const;

    // Installs the service to run strExecutablePath without arguments, started on demand, and its
    // event source where the system needs one. False
    // when the path cannot be given to the manager or the entry cannot be written; then none is left.
    bool Install(const std::string& strExecutablePath);
    // Asks the manager to stop the running service; false when that failed. Where the manager cannot
    // replace the entry of a service that is still stopping (Windows), waits for the stop (bounded);
    // elsewhere it does not wait.
    bool Stop();
    // Removes the entry and the event source; a running service goes on until it stops.
    bool Uninstall();
    // Removes the service's event source, where the system keeps one apart from the entry (Windows:
    // Install writes it); true when none is left or the system keeps none (also with a definition folder).
    bool RemoveEventSource();

  private:
    std::string m_strServiceName;
    std::string m_strDefinitionFolder;
};

} // namespace Platform
