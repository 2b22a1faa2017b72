#include "platform/ComModule.h"

#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <vector>

// The session is the multithreaded apartment: the service thread waits on events, not in a message
// loop, and a single-threaded apartment without one would stall any call made into it. The
// descriptor handed to COM lives as long as the session; its owner and group point into the token
// data it keeps.

namespace Platform {

namespace {

// A failure that left no system error still is one.
int ResultOfLastError() {
    DWORD nError = ::GetLastError();
    return static_cast<int>(nError != 0 ? HRESULT_FROM_WIN32(nError) : E_FAIL);
}

// The calling thread's token when it impersonates, else the process's.
HANDLE OpenCallerToken() {
    HANDLE hToken = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, &hToken))
        return hToken;
    if (::GetLastError() != ERROR_NO_TOKEN)
        return nullptr;
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken) ? hToken : nullptr;
}

// One part of the token, in a buffer of the size the system asks for.
bool ReadTokenPart(HANDLE hToken, TOKEN_INFORMATION_CLASS part, std::vector<BYTE>& buffer) {
    DWORD nSize = 0;
    if (!::GetTokenInformation(hToken, part, nullptr, 0, &nSize) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    buffer.assign(nSize, 0);
    return nSize > 0 && ::GetTokenInformation(hToken, part, buffer.data(), nSize, &nSize);
}

// The type library file that may stand beside the executable: its name with ".tlb" for its
// extension. A full stop in a folder's name is not the extension's.
std::wstring TypeLibraryFileBeside(const std::wstring& wstrModulePath) {
    size_t nNameStart = wstrModulePath.find_last_of(L"\\/:");
    size_t nDot = wstrModulePath.rfind(L'.');
    bool bHasExtension =
        nDot != std::wstring::npos && (nNameStart == std::wstring::npos || nDot > nNameStart);
    return (bHasExtension ? wstrModulePath.substr(0, nDot) : wstrModulePath) + L".tlb";
}

// Releases a loaded type library once.
class CTypeLibrary {
  public:
    CTypeLibrary() = default;
    ~CTypeLibrary() {
        if (m_pLibrary != nullptr)
            m_pLibrary->Release();
    }
    CTypeLibrary(const CTypeLibrary&) = delete;
    CTypeLibrary& operator=(const CTypeLibrary&) = delete;

    // From the executable, else from the file beside it; the path it came from is kept.
    HRESULT Load(const std::string& strModulePath) {
        m_wstrPath = Win32::ToWide(strModulePath);
        HRESULT hr = ::LoadTypeLibEx(m_wstrPath.c_str(), REGKIND_NONE, &m_pLibrary);
        if (SUCCEEDED(hr))
            return hr;
        m_wstrPath = TypeLibraryFileBeside(m_wstrPath);
        return ::LoadTypeLibEx(m_wstrPath.c_str(), REGKIND_NONE, &m_pLibrary);
    }

    ITypeLib* Get() const { return m_pLibrary; }
    const std::wstring& GetPath() const { return m_wstrPath; }

  private:
    ITypeLib* m_pLibrary = nullptr;
    std::wstring m_wstrPath;
};

} // namespace

class CComSession::CDescriptor {
  public:
    // A null DACL lets every caller in; owner and group are the caller's, not defaulted.
    int Build() {
        if (!::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&m_descriptor, TRUE, nullptr, FALSE))
            return ResultOfLastError();
        Win32::CUniqueHandle token(OpenCallerToken());
        if (!token || !ReadTokenPart(token.Get(), TokenUser, m_user) ||
            !ReadTokenPart(token.Get(), TokenPrimaryGroup, m_group))
            return ResultOfLastError();
        PSID pUser = reinterpret_cast<TOKEN_USER*>(m_user.data())->User.Sid;
        PSID pGroup = reinterpret_cast<TOKEN_PRIMARY_GROUP*>(m_group.data())->PrimaryGroup;
        if (!::SetSecurityDescriptorOwner(&m_descriptor, pUser, FALSE) ||
            !::SetSecurityDescriptorGroup(&m_descriptor, pGroup, FALSE))
            return ResultOfLastError();
        return 0;
    }

    PSECURITY_DESCRIPTOR Get() { return &m_descriptor; }

  private:
    SECURITY_DESCRIPTOR m_descriptor = {};
    std::vector<BYTE> m_user;
    std::vector<BYTE> m_group;
};

// COM refuses a second setting of the process's security; the run sets it once, before its other
// threads use COM. A descriptor that could not be built is not handed over: COM's default security
// stays.
CComSession::CComSession(Security security) {
    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_bEntered = SUCCEEDED(hr);
    m_nResult = m_bEntered ? 0 : static_cast<int>(hr);
    if (!m_bEntered || security == Security::Default)
        return;
    m_pDescriptor = std::make_unique<CDescriptor>();
    m_nSecurityResult = m_pDescriptor->Build();
    if (m_nSecurityResult != 0)
        return;
    hr = ::CoInitializeSecurity(m_pDescriptor->Get(), -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    m_nSecurityResult = FAILED(hr) ? static_cast<int>(hr) : 0;
}

CComSession::~CComSession() {
    if (m_bEntered)
        ::CoUninitialize();
}

// Help files are looked for in the library's own folder.
int RegisterTypeLibrary(const std::string& strModulePath) {
    CTypeLibrary library;
    HRESULT hr = library.Load(strModulePath);
    if (FAILED(hr))
        return static_cast<int>(hr);
    std::wstring wstrPath = library.GetPath();
    std::wstring wstrHelpFolder = wstrPath.substr(0, wstrPath.find_last_of(L"\\/:") + 1);
    return static_cast<int>(::RegisterTypeLib(library.Get(), &wstrPath[0], &wstrHelpFolder[0]));
}

// Only the loading counts: a library that was never registered has nothing to take out.
int UnregisterTypeLibrary(const std::string& strModulePath) {
    CTypeLibrary library;
    HRESULT hr = library.Load(strModulePath);
    if (FAILED(hr))
        return static_cast<int>(hr);
    TLIBATTR* pAttributes = nullptr;
    if (SUCCEEDED(library.Get()->GetLibAttr(&pAttributes))) {
        (void)::UnRegisterTypeLib(pAttributes->guid, pAttributes->wMajorVerNum, pAttributes->wMinorVerNum,
                                  pAttributes->lcid, pAttributes->syskind);
        library.Get()->ReleaseTLibAttr(pAttributes);
    }
    return 0;
}

} // namespace Platform
