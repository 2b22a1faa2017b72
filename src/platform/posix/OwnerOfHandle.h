#pragma once

#include "platform/Accounts.h"

#include <string>

namespace Platform {

// The owner account of an open file (the domain is the host name); on failure nError holds the
// system error. For the Linux implementations only.
OwnerLookup GetOwnerAccountOfHandle(int nHandle, std::string& strOwner, std::string& strDomain, int& nError);

} // namespace Platform
