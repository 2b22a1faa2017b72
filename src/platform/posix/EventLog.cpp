#include "platform/EventLog.h"

#include <cstdio>
#include <syslog.h>

// syslog reaches journald and classic syslog alike; the console is standard output, and a message
// box becomes a line on standard error. Each line is flushed at once so that a reader of a pipe
// sees it.

namespace Platform {

void CSystemEventLog::WriteEvent(const std::string& strSource, const std::string& strMessage) {
    // openlog keeps the ident pointer until closelog, so strSource outlives its use here.
    ::openlog(strSource.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(LOG_INFO, "%s", strMessage.c_str());
    ::closelog();
}

void CSystemEventLog::PrintLine(const std::string& strLine) {
    std::fprintf(stdout, "%s\n", strLine.c_str());
    std::fflush(stdout);
}

void CSystemEventLog::ShowMessage(const std::string& strText) {
    std::fprintf(stderr, "%s\n", strText.c_str());
    std::fflush(stderr);
}

} // namespace Platform
