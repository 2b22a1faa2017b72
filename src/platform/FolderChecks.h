#pragma once

#include <string>

namespace Platform {

// Questions about folders that the settings check asks, with the rights of this process.

// The absolute path with every link and "." or ".." resolved; empty when it cannot be resolved (a
// missing part, say), with GetLastError() telling why.
std::string ResolvePath(const std::string& strPath);

// The folder can be listed and entered.
bool CanReadFolder(const std::string& strPath);

// Files can be created in the folder (false also on a read-only file system).
bool CanWriteFolder(const std::string& strPath);

// The name of the user this process runs as (its number when it has no name).
std::string GetProcessUserName();

// This process has the rights of the agent's service, which runs as the system's administrator.
bool HasServiceRights();

} // namespace Platform
