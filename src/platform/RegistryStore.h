#pragma once

#include <string>

namespace Platform {

// The registry of this platform. On Windows it is the registry itself: HKEY_CLASSES_ROOT, or for
// tests and staged installs a key of their own under HKEY_CURRENT_USER\Software. Elsewhere it is a
// small file of keys and named string values standing in for HKEY_CLASSES_ROOT. Key paths use a
// backslash between key names ("AppID\{...}"); key and value names are compared without regard to
// case, as in the registry; the empty value name is the key's default value.
//
// The file is read afresh by every operation, and every change replaces it in one step (a new file
// is written, flushed and renamed over the old one), so a crash never leaves it half written. A
// missing file is an empty store. Every result other than Ok leaves the native error number in
// GetLastError() (the one the agent gives as its exit code) and a line for the user in
// GetErrorText(). One object per use; concurrent writers in different processes are not serialised.
enum class RegistryResult {
    Ok,
    // No such key or value.
    NotFound,
    // The store exists but was not written by the agent (on Windows: the value is not a string).
    Damaged,
    // The store, or the store a change would make, is larger than kMaxStoreSize.
    TooLarge,
    // A system call failed, or a key name is not valid.
    Failed
};

class CRegistryStore {
  public:
    // Opens the store at strPath; when it is empty, the one the environment variable KLENDO_REGISTRY
    // names, or else the system's (/var/lib/KlendoHotFolderAgent/registry; HKEY_CLASSES_ROOT). On
    // Windows strPath names the key under HKEY_CURRENT_USER\Software that takes HKEY_CLASSES_ROOT's place.
    explicit CRegistryStore(std::string strPath = std::string());

    const std::string& GetErrorText() const { return m_strError; }
    // The system's own store, not one of a test or a staged install: only then may a registration
    // change what lies outside the store (the type library's registration on Windows).
    bool IsSystemStore() const;

    // Ok when the key exists. With bForWrite, the store must also be replaceable by this process.
    RegistryResult OpenKey(const std::string& strKey, bool bForWrite);
    RegistryResult GetValue(const std::string& strKey, const std::string& strName, std::string& strValue);

    // Create the key and the keys above it as needed.
    RegistryResult CreateKey(const std::string& strKey);
    RegistryResult SetValue(const std::string& strKey, const std::string& strName,
                            const std::string& strValue);

    // NotFound when there was nothing to delete. DeleteKey removes the key's values and the keys below it.
    RegistryResult DeleteValue(const std::string& strKey, const std::string& strName);
    RegistryResult DeleteKey(const std::string& strKey);

    // A larger file (on Windows: value) is refused rather than read: the store holds a handful of entries.
    static constexpr long kMaxStoreSize = 1024 * 1024;

  private:
    class CContent;

    RegistryResult Load(CContent& content);
    RegistryResult Save(const CContent& content);
    RegistryResult Fail(RegistryResult result, int nError, const std::string& strText);

    std::string m_strPath;
    std::string m_strError;
};

} // namespace Platform
