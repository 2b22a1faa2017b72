#pragma once

#include <string>

namespace Platform {

// Writes one informational event to the system log (syslog, which journald also collects) under
// strSource as its ident. Failures drop the event silently, as an event source that cannot be opened.
void WriteSystemEvent(const std::string& strSource, const std::string& strMessage);

// One line on standard output or standard error, flushed at once so that a reader of a pipe sees it.
void WriteConsoleLine(const std::string& strLine);
void WriteErrorLine(const std::string& strLine);

} // namespace Platform
