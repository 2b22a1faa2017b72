#include "platform/EventLog.h"

#include <cstdio>
#include <syslog.h>

namespace Platform {

void WriteSystemEvent(const std::string& strSource, const std::string& strMessage) {
    // openlog keeps the ident pointer until closelog, so strSource outlives its use here.
    ::openlog(strSource.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(LOG_INFO, "%s", strMessage.c_str());
    ::closelog();
}

void WriteConsoleLine(const std::string& strLine) {
    std::fprintf(stdout, "%s\n", strLine.c_str());
    std::fflush(stdout);
}

void WriteErrorLine(const std::string& strLine) {
    std::fprintf(stderr, "%s\n", strLine.c_str());
    std::fflush(stderr);
}

} // namespace Platform
