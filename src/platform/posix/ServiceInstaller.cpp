#include "platform/ServiceInstaller.h"

#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/posix/Spawn.h"
#include "platform/posix/UnitFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

// The service manager is systemd: the service is a unit file KlendoHotFolderAgent.service in
// /etc/systemd/system (or the folder in the environment variable KLENDO_SYSTEMD_DIR, or the one the
// installer is given). systemctl is run only for the real folder, and only when the machine was
// booted with systemd.

namespace Platform {

namespace {

const char* const kDefaultUnitFolder = "/etc/systemd/system";
const char* const kSystemctlPaths[] = {"/usr/bin/systemctl", "/bin/systemctl"};

std::string FindSystemctl() {
    for (const char* szPath : kSystemctlPaths)
        if (::access(szPath, X_OK) == 0)
            return szPath;
    return std::string();
}

// The executable as the first word of ExecStart. systemd expands "%" specifiers and, in some
// versions, "$" variables in that line; paths with control bytes or "$" cannot be written safely
// and give an empty result. Quotes are added only when the path needs them.
std::string QuoteExecutable(const std::string& strPath) {
    if (strPath.empty() || strPath.front() != kPathSeparator)
        return std::string();
    bool bQuote = false;
    std::string strWord;
    for (char c : strPath) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '$')
            return std::string();
        if (c == ' ' || c == '"' || c == '\'' || c == '\\' || c == ';')
            bQuote = true;
        if (c == '"' || c == '\\')
            strWord += '\\';
        strWord += c;
        if (c == '%')
            strWord += '%';
    }
    return bQuote ? "\"" + strWord + "\"" : strWord;
}

std::string DefaultUnitFolder() {
    const char* szFolder = std::getenv("KLENDO_SYSTEMD_DIR");
    return (szFolder != nullptr && *szFolder != '\0') ? std::string(szFolder)
                                                      : std::string(kDefaultUnitFolder);
}

bool ControlsSystemd(const std::string& strUnitFolder) {
    return strUnitFolder == kDefaultUnitFolder && ::sd_booted() > 0 && !FindSystemctl().empty();
}

// Runs systemctl and waits for it; true when there is no systemd to tell or it succeeded. "stop"
// does not wait for the service to end (--no-block). It shares the agent's standard streams and
// process group.
bool RunSystemctl(const std::string& strUnitFolder, const char* szVerb, const std::string& strUnit) {
    if (!ControlsSystemd(strUnitFolder))
        return true;
    CSpawnRequest request;
    request.strExecutable = FindSystemctl();
    request.arguments = {szVerb};
    if (!strUnit.empty())
        request.arguments.insert(request.arguments.end(), {"--no-block", strUnit});
    std::fill(std::begin(request.anStandard), std::end(request.anStandard), kInheritStandard);
    request.bOwnProcessGroup = false;
    pid_t nChild = SpawnProcess(request);
    if (nChild < 0)
        return false;
    int nStatus = 0;
    while (::waitpid(nChild, &nStatus, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

std::string UnitPath(const std::string& strUnitFolder, const std::string& strServiceName) {
    return strUnitFolder + kPathSeparator + strServiceName + ".service";
}

} // namespace

std::string BuildUnitText(const std::string& strServiceName, const std::string& strExecutablePath) {
    std::string strExecStart = QuoteExecutable(strExecutablePath);
    if (strExecStart.empty())
        return std::string();
    // No [Install] section: the service is started on demand, never at boot. KillMode=mixed sends
    // the stop signal to the agent alone, so its own stop order ends its work; whatever is left in
    // the unit when it has exited is killed.
    std::string strText = "[Unit]\nDescription=" + strServiceName + "\n";
    strText += "Wants=network-online.target\nAfter=network.target network-online.target\n\n";
    strText += "[Service]\nType=notify\nNotifyAccess=main\n";
    strText += "ExecStart=" + strExecStart + "\nKillMode=mixed\n";
    return strText;
}

CServiceInstaller::CServiceInstaller(std::string strServiceName, std::string strDefinitionFolder)
    : m_strServiceName(std::move(strServiceName)),
      m_strDefinitionFolder(strDefinitionFolder.empty() ? DefaultUnitFolder()
                                                        : std::move(strDefinitionFolder)) {}

bool CServiceInstaller::OpenManager() const {
    return IsDirectory(m_strDefinitionFolder) && ::access(m_strDefinitionFolder.c_str(), W_OK | X_OK) == 0;
}

bool CServiceInstaller::IsInstalled() const {
    return PathExists(UnitPath(m_strDefinitionFolder, m_strServiceName));
}

bool CServiceInstaller::OpenServiceEntry() const {
    std::string strUnitPath = UnitPath(m_strDefinitionFolder, m_strServiceName);
    return PathExists(strUnitPath) && !IsDirectory(strUnitPath);
}

bool CServiceInstaller::Install(const std::string& strExecutablePath) {
    std::string strText = BuildUnitText(m_strServiceName, strExecutablePath);
    if (strText.empty()) {
        errno = EINVAL;
        return false;
    }
    CFileReplacement replacement;
    if (!replacement.Begin(UnitPath(m_strDefinitionFolder, m_strServiceName)) ||
        !replacement.Write(strText.data(), strText.size()) || !replacement.Commit())
        return false;
    (void)RunSystemctl(m_strDefinitionFolder, "daemon-reload", std::string());
    return true;
}

bool CServiceInstaller::Stop() {
    return RunSystemctl(m_strDefinitionFolder, "stop", m_strServiceName + ".service");
}

bool CServiceInstaller::Uninstall() {
    if (!RemoveFile(UnitPath(m_strDefinitionFolder, m_strServiceName)))
        return false;
    (void)RunSystemctl(m_strDefinitionFolder, "daemon-reload", std::string());
    return true;
}

// The journal takes any process's lines: there is no source to register.
bool CServiceInstaller::RemoveEventSource() {
    return true;
}

} // namespace Platform
