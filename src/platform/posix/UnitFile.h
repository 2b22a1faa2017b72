#pragma once

#include <string>

namespace Platform {

// The systemd unit file of the agent's service for an executable path; empty when the path cannot
// be written into one. For the Linux implementation and its tests.
std::string BuildUnitText(const std::string& strServiceName, const std::string& strExecutablePath);

} // namespace Platform
