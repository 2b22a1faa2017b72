#pragma once

#include <memory>
#include <string>

namespace Platform {

// COM for the thread that creates it, as long as the object lives. The agent exposes no COM
// class; it takes part in COM for its XML and HTTP components and for its type library. Results are
// 0 or the system's code (an HRESULT on Windows); on systems without COM everything succeeds.
class CComSession {
  public:
    enum class Security {
        // The process's COM security stays the system's default (a one-shot registration).
        Default,
        // The process's COM security is set once, for the run: calls at packet-integrity
        // authentication, impersonation allowed, a descriptor owned by the running account that lets
        // every caller in (there is no class to call).
        OpenToAllCallers
    };

    explicit CComSession(Security security);
    ~CComSession();
    CComSession(const CComSession&) = delete;
    CComSession& operator=(const CComSession&) = delete;

    // The thread's entry into COM; nothing else of COM may be used when it failed.
    int GetResult() const { return m_nResult; }
    // Building the descriptor and setting the security; 0 when nothing was asked for.
    int GetSecurityResult() const { return m_nSecurityResult; }

  private:
    class CDescriptor;

    int m_nResult = 0;
    int m_nSecurityResult = 0;
    bool m_bEntered = false;
    std::unique_ptr<CDescriptor> m_pDescriptor;
};

// The agent's type library, from the executable strModulePath or, failing that, the ".tlb" file
// beside it: registered with the system, or taken out of its registration. Both need a CComSession
// on the calling thread; both return 0 or the failure.
int RegisterTypeLibrary(const std::string& strModulePath);
int UnregisterTypeLibrary(const std::string& strModulePath);

} // namespace Platform
