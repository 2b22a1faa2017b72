#include "platform/RegistryStore.h"

#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/posix/RegularFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace Platform {

namespace {

const char* const kSystemStorePath = "/var/lib/KlendoHotFolderAgent/registry";

// The path in KLENDO_REGISTRY lets a staged install or a test keep its own store.
std::string DefaultStorePath() {
    const char* szPath = std::getenv("KLENDO_REGISTRY");
    return (szPath != nullptr && *szPath != '\0') ? std::string(szPath) : kSystemStorePath;
}

// The first line of every store: a file without it was not written by the agent and is not read.
const char* const kHeader = "KlendoHotFolderAgent registry 1";
const char kKeySeparator = '\\';

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

struct CNoCaseLess {
    bool operator()(const std::string& strA, const std::string& strB) const {
        size_t nLength = strA.size() < strB.size() ? strA.size() : strB.size();
        for (size_t i = 0; i < nLength; ++i) {
            char a = LowerAscii(strA[i]), b = LowerAscii(strB[i]);
            if (a != b)
                return static_cast<unsigned char>(a) < static_cast<unsigned char>(b);
        }
        return strA.size() < strB.size();
    }
};

bool StartsWithNoCase(const std::string& strText, const std::string& strStart) {
    if (strText.size() < strStart.size())
        return false;
    for (size_t i = 0; i < strStart.size(); ++i)
        if (LowerAscii(strText[i]) != LowerAscii(strStart[i]))
            return false;
    return true;
}

// Names and data are written with every byte that has a meaning in the file ("%", "=", brackets,
// line ends and other control bytes) as %XX, so any string round-trips on one line.
std::string Escape(const std::string& strText) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string strResult;
    for (char c : strText) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '%' || c == '=' || c == '[' || c == ']') {
            strResult += '%';
            strResult += kHex[u >> 4];
            strResult += kHex[u & 0x0f];
        } else {
            strResult += c;
        }
    }
    return strResult;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Unescape(const std::string& strText, std::string& strResult) {
    strResult.clear();
    for (size_t i = 0; i < strText.size(); ++i) {
        char c = strText[i];
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '=' || c == '[' || c == ']')
            return false;
        if (c != '%') {
            strResult += c;
            continue;
        }
        int nHigh = i + 2 < strText.size() ? HexDigit(strText[i + 1]) : -1;
        int nLow = i + 2 < strText.size() ? HexDigit(strText[i + 2]) : -1;
        if (nHigh < 0 || nLow < 0)
            return false;
        strResult += static_cast<char>(nHigh * 16 + nLow);
        i += 2;
    }
    return true;
}

// A key path of non-empty names separated by single backslashes.
bool IsValidKey(const std::string& strKey) {
    if (strKey.empty() || strKey.front() == kKeySeparator || strKey.back() == kKeySeparator)
        return false;
    return strKey.find(std::string(2, kKeySeparator)) == std::string::npos;
}

int MakeFolders(const std::string& strFolder) {
    if (strFolder.empty() || IsDirectory(strFolder))
        return 0;
    int nError = MakeFolders(FolderOf(strFolder));
    if (nError != 0)
        return nError;
    if (::mkdir(strFolder.c_str(), 0755) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

} // namespace

class CRegistryStore::CContent {
  public:
    using Values = std::map<std::string, std::string, CNoCaseLess>;
    std::map<std::string, Values, CNoCaseLess> keys;

    // 0, or the number of the first line that is not part of a store.
    size_t Parse(const std::string& strText) {
        keys.clear();
        size_t nStart = 0, nLine = 0;
        Values* pCurrent = nullptr;
        while (nStart < strText.size()) {
            size_t nEnd = strText.find('\n', nStart);
            if (nEnd == std::string::npos)
                nEnd = strText.size();
            std::string strLine = strText.substr(nStart, nEnd - nStart);
            nStart = nEnd + 1;
            ++nLine;
            if (nLine == 1) {
                if (strLine != kHeader)
                    return nLine;
                continue;
            }
            if (strLine.empty())
                continue;
            if (!ParseLine(strLine, pCurrent))
                return nLine;
        }
        return 0;
    }

    std::string Serialize() const {
        std::string strText = std::string(kHeader) + "\n";
        for (const auto& key : keys) {
            strText += "[" + Escape(key.first) + "]\n";
            for (const auto& value : key.second)
                strText += Escape(value.first) + "=" + Escape(value.second) + "\n";
        }
        return strText;
    }

    void CreateKey(const std::string& strKey) {
        for (size_t nPos = strKey.find(kKeySeparator); nPos != std::string::npos;
             nPos = strKey.find(kKeySeparator, nPos + 1))
            keys[strKey.substr(0, nPos)];
        keys[strKey];
    }

    bool DeleteKey(const std::string& strKey) {
        if (keys.erase(strKey) == 0)
            return false;
        std::string strPrefix = strKey + kKeySeparator;
        for (auto it = keys.begin(); it != keys.end();)
            it = StartsWithNoCase(it->first, strPrefix) ? keys.erase(it) : std::next(it);
        return true;
    }

  private:
    bool ParseLine(const std::string& strLine, Values*& pCurrent) {
        std::string strName, strValue;
        if (strLine.front() == '[') {
            if (strLine.size() < 2 || strLine.back() != ']' ||
                !Unescape(strLine.substr(1, strLine.size() - 2), strName) || !IsValidKey(strName))
                return false;
            pCurrent = &keys[strName];
            return true;
        }
        size_t nEquals = strLine.find('=');
        if (pCurrent == nullptr || nEquals == std::string::npos ||
            !Unescape(strLine.substr(0, nEquals), strName) ||
            !Unescape(strLine.substr(nEquals + 1), strValue))
            return false;
        (*pCurrent)[strName] = strValue;
        return true;
    }
};

CRegistryStore::CRegistryStore(std::string strPath)
    : m_strPath(strPath.empty() ? DefaultStorePath() : std::move(strPath)) {}

bool CRegistryStore::IsSystemStore() const {
    return m_strPath == kSystemStorePath;
}

// The errno values stand for the neutral results too (ENOENT, EBADMSG, EFBIG), so the native
// number the agent ends with says what went wrong.
RegistryResult CRegistryStore::Fail(RegistryResult result, int nError, const std::string& strText) {
    m_strError = "Registry store " + m_strPath + ": " + strText;
    errno = nError;
    return result;
}

RegistryResult CRegistryStore::Load(CContent& content) {
    content.keys.clear();
    int nHandle = Posix::OpenRegularFile(m_strPath, O_RDONLY | O_CLOEXEC);
    if (nHandle < 0)
        return errno == ENOENT ? RegistryResult::Ok
                               : Fail(RegistryResult::Failed, errno, std::strerror(errno));
    int nError = 0;
    std::string strText;
    char buffer[4096];
    while (strText.size() <= static_cast<size_t>(kMaxStoreSize)) {
        ssize_t nRead = ::read(nHandle, buffer, sizeof(buffer));
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead < 0) {
            nError = errno;
            ::close(nHandle);
            return Fail(RegistryResult::Failed, nError, std::strerror(nError));
        }
        if (nRead == 0)
            break;
        strText.append(buffer, static_cast<size_t>(nRead));
    }
    ::close(nHandle);
    if (strText.size() > static_cast<size_t>(kMaxStoreSize))
        return Fail(RegistryResult::TooLarge, EFBIG, "larger than a store can be");
    size_t nBadLine = content.Parse(strText);
    if (nBadLine != 0)
        return Fail(RegistryResult::Damaged, EBADMSG,
                    "not a valid store (line " + std::to_string(nBadLine) + "); repair or remove it");
    return RegistryResult::Ok;
}

RegistryResult CRegistryStore::Save(const CContent& content) {
    int nError = MakeFolders(FolderOf(m_strPath));
    if (nError != 0)
        return Fail(RegistryResult::Failed, nError, std::strerror(nError));
    std::string strText = content.Serialize();
    if (strText.size() > static_cast<size_t>(kMaxStoreSize))
        return Fail(RegistryResult::TooLarge, EFBIG, "the change would make the store too large");
    CFileReplacement replacement;
    if (!replacement.Begin(m_strPath) || !replacement.Write(strText.data(), strText.size()) ||
        !replacement.Commit()) {
        nError = errno;
        return Fail(RegistryResult::Failed, nError, std::strerror(nError));
    }
    return RegistryResult::Ok;
}

RegistryResult CRegistryStore::OpenKey(const std::string& strKey, bool bForWrite) {
    CContent content;
    RegistryResult result = Load(content);
    if (result != RegistryResult::Ok)
        return result;
    if (content.keys.count(strKey) == 0)
        return Fail(RegistryResult::NotFound, ENOENT, "no key " + strKey);
    if (bForWrite && ::access(FolderOf(m_strPath).c_str(), W_OK | X_OK) != 0)
        return Fail(RegistryResult::Failed, errno, std::strerror(errno));
    return RegistryResult::Ok;
}

RegistryResult CRegistryStore::GetValue(const std::string& strKey, const std::string& strName,
                                        std::string& strValue) {
    CContent content;
    RegistryResult result = Load(content);
    if (result != RegistryResult::Ok)
        return result;
    auto key = content.keys.find(strKey);
    if (key == content.keys.end())
        return Fail(RegistryResult::NotFound, ENOENT, "no key " + strKey);
    auto value = key->second.find(strName);
    if (value == key->second.end())
        return Fail(RegistryResult::NotFound, ENOENT, "no value " + strName + " in " + strKey);
    strValue = value->second;
    return RegistryResult::Ok;
}

RegistryResult CRegistryStore::CreateKey(const std::string& strKey) {
    if (!IsValidKey(strKey))
        return Fail(RegistryResult::Failed, EINVAL, "invalid key name " + strKey);
    CContent content;
    RegistryResult result = Load(content);
    if (result != RegistryResult::Ok)
        return result;
    content.CreateKey(strKey);
    return Save(content);
}

RegistryResult CRegistryStore::SetValue(const std::string& strKey, const std::string& strName,
                                        const std::string& strValue) {
    if (!IsValidKey(strKey))
        return Fail(RegistryResult::Failed, EINVAL, "invalid key name " + strKey);
    CContent content;
    RegistryResult result = Load(content);
    if (result != RegistryResult::Ok)
        return result;
    content.CreateKey(strKey);
    content.keys[strKey][strName] = strValue;
    return Save(content);
}

RegistryResult CRegistryStore::DeleteValue(const std::string& strKey, const std::string& strName) {
    CContent content;
    RegistryResult result = Load(content);
    if (result != RegistryResult::Ok)
        return result;
    auto key = content.keys.find(strKey);
    if (key == content.keys.end() || key->second.erase(strName) == 0)
        return Fail(RegistryResult::NotFound, ENOENT, "no value " + strName + " in " + strKey);
    return Save(content);
}

RegistryResult CRegistryStore::DeleteKey(const std::string& strKey) {
    CContent content;
    RegistryResult result = Load(content);
    if (result != RegistryResult::Ok)
        return result;
    if (!content.DeleteKey(strKey))
        return Fail(RegistryResult::NotFound, ENOENT, "no key " + strKey);
    return Save(content);
}

} // namespace Platform
