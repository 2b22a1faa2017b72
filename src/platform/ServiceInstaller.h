#pragma once

#include <string>

namespace Platform {

// The service manager of this platform: systemd, through a unit file KlendoHotFolderAgent.service
// in /etc/systemd/system (or the folder in the environment variable KLENDO_SYSTEMD_DIR). systemctl
// is run only for the real folder, and only when the machine was booted with systemd.
class CServiceInstaller {
  public:
    // strServiceName names the unit; strUnitFolder is the folder of unit files, DefaultUnitFolder()
    // when empty.
    explicit CServiceInstaller(std::string strServiceName, std::string strUnitFolder = std::string());

    static std::string DefaultUnitFolder();

    // The service manager can be used: the unit folder exists and this process may change it.
    bool OpenManager() const;
    // The unit file exists.
    bool IsInstalled() const;
    // The unit file is a regular file that can be stopped and deleted.
    bool OpenService() const;

    // Writes the unit: a notify service, started on demand only (not enabled at boot), after the
    // network, running strExecutablePath without arguments. False when the path cannot be written
    // into a unit file (a line break in it) or the file cannot be written; then no unit is left.
    bool Create(const std::string& strExecutablePath);
    // Asks systemd to stop the running service, without waiting for it; false when that failed.
    bool Stop();
    // Removes the unit file; a running service goes on until it stops.
    bool Delete();

    const std::string& GetUnitPath() const { return m_strUnitPath; }

    // The unit file's content for an executable path; empty when the path cannot be expressed.
    static std::string BuildUnitText(const std::string& strServiceName, const std::string& strExecutablePath);

  private:
    bool ControlsSystemd() const;
    bool RunSystemctl(const char* szVerb, bool bWithUnit) const;

    std::string m_strServiceName;
    std::string m_strUnitFolder;
    std::string m_strUnitPath;
};

} // namespace Platform
