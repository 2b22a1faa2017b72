#include "platform/RegistryStore.h"

#include "platform/win32/WideText.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

// The store is the registry itself: HKEY_CLASSES_ROOT, or, when a prefix is given (the constructor's
// argument or the environment variable KLENDO_REGISTRY), the key HKEY_CURRENT_USER\Software\<prefix>,
// so that a test or a staged install works on keys of its own without administrator rights.
// Values are written as REG_SZ; REG_EXPAND_SZ is read as it stands, any other type is not read.

namespace Platform {

namespace {

const char kKeySeparator = '\\';

std::string DefaultPrefix() {
    const char* szPrefix = std::getenv("KLENDO_REGISTRY");
    return szPrefix != nullptr ? std::string(szPrefix) : std::string();
}

// A key path of non-empty names separated by single backslashes. A NUL would cut the name where
// the system reads it, and another key than the one named would be changed.
bool IsValidKey(const std::string& strKey) {
    if (strKey.empty() || strKey.front() == kKeySeparator || strKey.back() == kKeySeparator)
        return false;
    return strKey.find(std::string(2, kKeySeparator)) == std::string::npos &&
           strKey.find('\0') == std::string::npos;
}

std::string SystemErrorText(LONG nError) {
    wchar_t* pText = nullptr;
    DWORD nLength = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(nError), 0, reinterpret_cast<LPWSTR>(&pText), 0, nullptr);
    std::string strText = "error " + std::to_string(nError);
    if (nLength != 0 && pText != nullptr) {
        while (nLength > 0 && (pText[nLength - 1] == L'\r' || pText[nLength - 1] == L'\n'))
            --nLength;
        strText = Win32::FromWide(pText, nLength) + " (" + strText + ")";
    }
    ::LocalFree(pText);
    return strText;
}

RegistryResult ResultOf(LONG nError) {
    return nError == ERROR_FILE_NOT_FOUND ? RegistryResult::NotFound : RegistryResult::Failed;
}

std::string Describe(LONG nError, const std::string& strNotFound) {
    return nError == ERROR_FILE_NOT_FOUND ? strNotFound : SystemErrorText(nError);
}

// The text of REG_SZ data: an odd last byte and the closing NUL are not part of it.
std::string TextOfData(const std::vector<BYTE>& data, DWORD nBytes) {
    size_t nLength = nBytes / sizeof(wchar_t);
    const wchar_t* pText = reinterpret_cast<const wchar_t*>(data.data());
    if (nLength > 0 && pText[nLength - 1] == L'\0')
        --nLength;
    return Win32::FromWide(pText, nLength);
}

// Closes an open registry key once.
class CKey {
  public:
    CKey() = default;
    ~CKey() {
        if (m_hKey != nullptr)
            ::RegCloseKey(m_hKey);
    }
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;

    HKEY* Receive() { return &m_hKey; }
    HKEY Get() const { return m_hKey; }

  private:
    HKEY m_hKey = nullptr;
};

// Where the keys of a store with the prefix strPrefix live.
class CLocation {
  public:
    explicit CLocation(const std::string& strPrefix) : m_strPrefix(strPrefix) {}

    bool IsValid(const std::string& strKey) const {
        return IsValidKey(strKey) && (m_strPrefix.empty() || IsValidKey(m_strPrefix));
    }
    HKEY Root() const { return m_strPrefix.empty() ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER; }
    std::wstring PathOf(const std::string& strKey) const {
        return Win32::ToWide(m_strPrefix.empty() ? strKey : "Software\\" + m_strPrefix + "\\" + strKey);
    }
    std::string RootName() const {
        return m_strPrefix.empty() ? "HKEY_CLASSES_ROOT" : "HKEY_CURRENT_USER\\Software\\" + m_strPrefix;
    }

  private:
    const std::string& m_strPrefix;
};

} // namespace

// The prefix is kept where the file store keeps its path; empty means HKEY_CLASSES_ROOT.
CRegistryStore::CRegistryStore(std::string strPath)
    : m_strPath(strPath.empty() ? DefaultPrefix() : std::move(strPath)) {}

bool CRegistryStore::IsSystemStore() const {
    return m_strPath.empty();
}

RegistryResult CRegistryStore::Fail(RegistryResult result, int nError, const std::string& strText) {
    m_strError = "Registry " + CLocation(m_strPath).RootName() + ": " + strText;
    ::SetLastError(static_cast<DWORD>(nError));
    return result;
}

RegistryResult CRegistryStore::OpenKey(const std::string& strKey, bool bForWrite) {
    CLocation location(m_strPath);
    if (!location.IsValid(strKey))
        return Fail(RegistryResult::Failed, ERROR_INVALID_NAME, "invalid key name " + strKey);
    CKey key;
    LONG nError = ::RegOpenKeyExW(location.Root(), location.PathOf(strKey).c_str(), 0,
                                  bForWrite ? KEY_WRITE : KEY_READ, key.Receive());
    if (nError != ERROR_SUCCESS)
        return Fail(ResultOf(nError), nError, Describe(nError, "no key " + strKey));
    return RegistryResult::Ok;
}

RegistryResult CRegistryStore::GetValue(const std::string& strKey, const std::string& strName,
                                        std::string& strValue) {
    CLocation location(m_strPath);
    if (!location.IsValid(strKey) || strName.find('\0') != std::string::npos)
        return Fail(RegistryResult::Failed, ERROR_INVALID_NAME, "invalid name " + strKey);
    CKey key;
    LONG nError =
        ::RegOpenKeyExW(location.Root(), location.PathOf(strKey).c_str(), 0, KEY_QUERY_VALUE, key.Receive());
    if (nError != ERROR_SUCCESS)
        return Fail(ResultOf(nError), nError, Describe(nError, "no key " + strKey));
    std::wstring wstrName = Win32::ToWide(strName);
    std::vector<BYTE> data;
    DWORD nType = REG_NONE, nBytes = 0;
    // The value may grow between the call that tells its size and the one that reads it.
    do {
        data.resize(nBytes + sizeof(wchar_t));
        nBytes = static_cast<DWORD>(data.size());
        nError = ::RegQueryValueExW(key.Get(), wstrName.c_str(), nullptr, &nType, data.data(), &nBytes);
        if (nBytes > static_cast<DWORD>(kMaxStoreSize))
            return Fail(RegistryResult::TooLarge, ERROR_FILE_TOO_LARGE,
                        "value " + strName + " in " + strKey + " is larger than a value can be");
    } while (nError == ERROR_MORE_DATA);
    if (nError != ERROR_SUCCESS)
        return Fail(ResultOf(nError), nError, Describe(nError, "no value " + strName + " in " + strKey));
    if (nType != REG_SZ && nType != REG_EXPAND_SZ)
        return Fail(RegistryResult::Damaged, ERROR_DATATYPE_MISMATCH,
                    "value " + strName + " in " + strKey + " is not a string; repair or remove it");
    strValue = TextOfData(data, nBytes);
    return RegistryResult::Ok;
}

RegistryResult CRegistryStore::CreateKey(const std::string& strKey) {
    CLocation location(m_strPath);
    if (!location.IsValid(strKey))
        return Fail(RegistryResult::Failed, ERROR_INVALID_NAME, "invalid key name " + strKey);
    CKey key;
    LONG nError = ::RegCreateKeyExW(location.Root(), location.PathOf(strKey).c_str(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key.Receive(), nullptr);
    if (nError != ERROR_SUCCESS)
        return Fail(RegistryResult::Failed, nError, SystemErrorText(nError));
    return RegistryResult::Ok;
}

RegistryResult CRegistryStore::SetValue(const std::string& strKey, const std::string& strName,
                                        const std::string& strValue) {
    CLocation location(m_strPath);
    if (!location.IsValid(strKey) || strName.find('\0') != std::string::npos)
        return Fail(RegistryResult::Failed, ERROR_INVALID_NAME, "invalid name " + strKey);
    std::wstring wstrValue = Win32::ToWide(strValue);
    size_t nBytes = (wstrValue.size() + 1) * sizeof(wchar_t);
    if (nBytes > static_cast<size_t>(kMaxStoreSize))
        return Fail(RegistryResult::TooLarge, ERROR_FILE_TOO_LARGE, "the value would be too large");
    CKey key;
    LONG nError = ::RegCreateKeyExW(location.Root(), location.PathOf(strKey).c_str(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key.Receive(), nullptr);
    if (nError == ERROR_SUCCESS)
        nError =
            ::RegSetValueExW(key.Get(), Win32::ToWide(strName).c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(wstrValue.c_str()), static_cast<DWORD>(nBytes));
    if (nError != ERROR_SUCCESS)
        return Fail(RegistryResult::Failed, nError, SystemErrorText(nError));
    return RegistryResult::Ok;
}

RegistryResult CRegistryStore::DeleteValue(const std::string& strKey, const std::string& strName) {
    CLocation location(m_strPath);
    if (!location.IsValid(strKey) || strName.find('\0') != std::string::npos)
        return Fail(RegistryResult::Failed, ERROR_INVALID_NAME, "invalid name " + strKey);
    CKey key;
    LONG nError =
        ::RegOpenKeyExW(location.Root(), location.PathOf(strKey).c_str(), 0, KEY_SET_VALUE, key.Receive());
    if (nError == ERROR_SUCCESS)
        nError = ::RegDeleteValueW(key.Get(), Win32::ToWide(strName).c_str());
    if (nError != ERROR_SUCCESS)
        return Fail(ResultOf(nError), nError, Describe(nError, "no value " + strName + " in " + strKey));
    return RegistryResult::Ok;
}

RegistryResult CRegistryStore::DeleteKey(const std::string& strKey) {
    CLocation location(m_strPath);
    if (!location.IsValid(strKey))
        return Fail(RegistryResult::Failed, ERROR_INVALID_NAME, "invalid key name " + strKey);
    LONG nError = ::RegDeleteTreeW(location.Root(), location.PathOf(strKey).c_str());
    if (nError != ERROR_SUCCESS)
        return Fail(ResultOf(nError), nError, Describe(nError, "no key " + strKey));
    return RegistryResult::Ok;
}

} // namespace Platform
