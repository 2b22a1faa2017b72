#pragma once

#include "platform/Accounts.h"

#include <string>

namespace Platform {

// The owner account of an open file (the domain is the host name); on failure errno holds the
// system error, 0 when the owner has no account. For the Linux implementations only.
OwnerLookup GetOwnerAccountOfHandle(int nHandle, std::string& strOwner, std::string& strDomain);

} // namespace Platform
