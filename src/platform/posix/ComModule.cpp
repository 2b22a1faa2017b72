#include "platform/ComModule.h"

// No COM here: the session has nothing to enter and there is no type library to register.

namespace Platform {

class CComSession::CDescriptor {};

CComSession::CComSession(Security /*security*/) {}

CComSession::~CComSession() = default;

int RegisterTypeLibrary(const std::string& /*strModulePath*/) {
    return 0;
}

int UnregisterTypeLibrary(const std::string& /*strModulePath*/) {
    return 0;
}

} // namespace Platform
