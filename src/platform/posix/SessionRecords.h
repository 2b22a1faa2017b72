#pragma once

#include <string>

namespace Platform {

// The first live session in a login records file (utmp format). For the Linux implementations and
// their contract tests, which hand it a file they made.
bool ReadFirstSessionUser(const std::string& strRecordsPath, std::string& strUser);

} // namespace Platform
