#pragma once

#include <string>

namespace Platform {

// A new random GUID as 36 lower-case hexadecimal digits and hyphens (8-4-4-4-12), no braces.
// False, with strGuid untouched, when the system cannot make one.
bool CreateGuid(std::string& strGuid);

} // namespace Platform
