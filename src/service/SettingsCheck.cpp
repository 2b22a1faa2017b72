#include "service/SettingsCheck.h"

#include "Include/LogFile.h"
#include "Include/StringUtil.h"
#include "activity/ActivityFileDataStorage.h"
#include "client/AddActivityClientReqHandler.h"
#include "client/HttpRequest.h"
#include "config/AgentSettings.h"
#include "config/IniFile.h"
#include "platform/FileSystem.h"
#include "platform/FileSystemKind.h"
#include "platform/FolderChecks.h"
#include "request/ResendLedger.h"

#include <algorithm>
#include <iterator>
#include <set>

namespace {

const char* const kConfigurationSection = "configuration";
const char* const kHotFolderPrefix = "hotfolder_";
const char* const kConfigurationKeys[] = {"hotfoldercount", "serveraddress", "serverport"};
const char* const kHotFolderKeys[] = {"source", "destination", "devicename",  "halfsize",
                                      "copies", "type",        "usernamefrom"};

std::string Lowered(const std::string& strText) {
    std::string strLower = strText;
    std::transform(strLower.begin(), strLower.end(), strLower.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return strLower;
}

template <size_t N> bool IsKnownKey(const char* const (&known)[N], const std::string& strKey) {
    return std::any_of(std::begin(known), std::end(known),
                       [&](const char* szKey) { return EqualsNoCase(strKey, szKey); });
}

// The N of "hotfolder_N" (digits only, as the agent names them), -1 for any other name.
int HotFolderIndex(const std::string& strSection) {
    std::string strLower = Lowered(strSection);
    size_t nPrefix = std::string(kHotFolderPrefix).size();
    if (strLower.compare(0, nPrefix, kHotFolderPrefix) != 0 || strLower.size() == nPrefix ||
        strLower.size() > nPrefix + 9 ||
        strLower.find_first_not_of("0123456789", nPrefix) != std::string::npos)
        return -1;
    // The agent asks for "hotfolder_1", never for "hotfolder_01".
    if (strLower[nPrefix] == '0' && strLower.size() > nPrefix + 1)
        return -1;
    return std::stoi(strLower.substr(nPrefix));
}

// True when strInner is strOuter or lies below it; both resolved paths.
bool IsSameOrInside(const std::string& strInner, const std::string& strOuter) {
    if (strInner == strOuter)
        return true;
    std::string strPrefix = strOuter == "/" ? strOuter : strOuter + "/";
    return strInner.compare(0, strPrefix.size(), strPrefix) == 0;
}

// Reads the file plainly, a block at a time, so that neither the archive's lock is taken (a running
// agent is not disturbed) nor a large archive held in memory. False when it cannot be opened.
bool ForEachBlock(const std::string& strPath, const std::function<void(const std::string&)>& onBlock) {
    return Platform::ReadRegularFile(strPath, [&](const char* pData, size_t nSize) {
        onBlock(std::string(pData, nSize));
        return true;
    });
}

// Lines holding more than blanks.
size_t CountLines(const std::string& strPath) {
    size_t nLines = 0;
    bool bContent = false;
    ForEachBlock(strPath, [&](const std::string& strBlock) {
        for (char c : strBlock) {
            if (c == '\n') {
                nLines += bContent ? 1 : 0;
                bContent = false;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                bContent = true;
            }
        }
    });
    return nLines + (bContent ? 1 : 0);
}

// A hot folder or destination may itself be a link to a folder.
bool IsFolderThroughLinks(const std::string& strPath) {
    std::string strResolved = Platform::ResolvePath(strPath);
    return !strResolved.empty() && Platform::IsDirectory(strResolved);
}

std::string FolderLabel(int nNumber) {
    return "hot folder " + std::to_string(nNumber);
}

} // namespace

// Every record starts with an "activity" tag, and no value inside one can hold "<". A tag may be
// cut by a block's end, so the last few bytes are looked at again with the next block.
size_t CountArchiveRecords(const std::string& strPath) {
    static const std::string strTag = "<activity";
    size_t nRecords = 0;
    std::string strCarry;
    ForEachBlock(strPath, [&](const std::string& strBlock) {
        std::string strText = strCarry + strBlock;
        size_t nPos = strText.find(strTag);
        for (; nPos != std::string::npos && nPos + strTag.size() < strText.size();
             nPos = strText.find(strTag, nPos + 1))
            if (std::string(" \t\r\n/>").find(strText[nPos + strTag.size()]) != std::string::npos)
                ++nRecords;
        size_t nKeep =
            nPos != std::string::npos ? strText.size() - nPos : std::min(strText.size(), strTag.size());
        strCarry = strText.substr(strText.size() - nKeep);
    });
    return nRecords;
}

size_t CountPendingActivities(const std::string& strFolder) {
    try {
        size_t nRecords = CountArchiveRecords(JoinPath(strFolder, CActivityFileDataStorage::kArchiveName));
        size_t nSettled = CountLines(JoinPath(strFolder, CResendLedger::kSettledName));
        return nRecords > nSettled ? nRecords - nSettled : 0;
    } catch (...) {
        LogTrace("*** E: CountPendingActivities ***");
        return 0;
    }
}

CSettingsCheck::CSettingsCheck(std::string strInstallFolder, LineSink sink)
    : m_strSettingsPath(CAgentSettings::SettingsPathIn(strInstallFolder)),
      m_strInstallFolder(std::move(strInstallFolder)), m_sink(std::move(sink)) {}

int CSettingsCheck::Run() {
    m_nProblems = 0;
    try {
        RunChecks();
    } catch (...) {
        Problem("the check itself failed before it was complete");
    }
    m_sink(m_nProblems == 0 ? std::string("Settings OK")
                            : "Settings check found " + std::to_string(m_nProblems) + " problem(s)");
    return m_nProblems;
}

void CSettingsCheck::RunChecks() {
    CAgentSettings settings(m_strSettingsPath);
    std::vector<CHotFolderInfo*> pointers;
    settings.GetHotFolders(pointers);
    std::vector<CHotFolderInfo> folders;
    for (CHotFolderInfo* pFolder : pointers) {
        folders.push_back(*pFolder);
        delete pFolder;
    }
    int nCount = settings.GetHotFolderCount();
    PrintSettings(folders, nCount);
    if (!CIniFile(m_strSettingsPath).CanBeRead())
        Problem("settings file " + m_strSettingsPath + " cannot be read; the agent runs with the defaults");
    CheckNumbers();
    CheckSections(nCount);
    for (size_t nIndex = 0; nIndex < folders.size(); ++nIndex)
        CheckFolder(static_cast<int>(nIndex) + 1, folders[nIndex]);
    CheckFolderRelations(folders);
    CheckServer();
    PrintArchive();
    if (!Platform::HasServiceRights())
        m_sink("--I: folder rights were checked for user " + Platform::GetProcessUserName() +
               "; the service runs as root");
}

void CSettingsCheck::PrintSettings(const std::vector<CHotFolderInfo>& folders, int nCount) {
    CAgentSettings settings(m_strSettingsPath);
    m_sink("Settings file: " + m_strSettingsPath);
    m_sink("Server: " + settings.GetServerAddress() + " port " + std::to_string(settings.GetServerPort()));
    m_sink("hotfoldercount: " + std::to_string(nCount));
    for (size_t nIndex = 0; nIndex < folders.size(); ++nIndex) {
        const CHotFolderInfo& folder = folders[nIndex];
        m_sink(FolderLabel(static_cast<int>(nIndex) + 1) + ": source=" + folder.source +
               " destination=" + folder.destination + " type=" + (folder.IsTicketFolder() ? "ULS" : "print") +
               " copies=" + std::to_string(folder.copies));
    }
}

// The layout of the file against what the agent reads: sections the count leaves out or names
// although they are missing, and names that the agent never looks at (most likely typing errors).
void CSettingsCheck::CheckSections(int nCount) {
    if (nCount > CAgentSettings::kMaxHotFolders)
        Problem("hotfoldercount=" + std::to_string(nCount) + " is more than " +
                std::to_string(CAgentSettings::kMaxHotFolders) + "; only that many are read");
    std::set<std::string> seen;
    std::set<int> present;
    for (const CIniFile::SSection& section : CIniFile(m_strSettingsPath).ListSections()) {
        std::string strLower = Lowered(section.strName);
        if (!seen.insert(strLower).second) {
            Problem("section [" + section.strName + "] appears again; the agent reads only the first");
            continue;
        }
        int nIndex = HotFolderIndex(section.strName);
        bool bConfiguration = strLower == kConfigurationSection;
        if (!bConfiguration && nIndex < 0) {
            Problem("unknown section [" + section.strName + "]");
            continue;
        }
        if (nIndex >= 0) {
            present.insert(nIndex);
            if (nIndex < 1 || nIndex > std::min(nCount, CAgentSettings::kMaxHotFolders))
                Problem("section [" + section.strName +
                        "] is not read: hotfoldercount=" + std::to_string(nCount));
        }
        for (const std::string& strKey : section.keys)
            if (bConfiguration ? !IsKnownKey(kConfigurationKeys, strKey)
                               : !IsKnownKey(kHotFolderKeys, strKey))
                Problem("unknown key \"" + strKey + "\" in [" + section.strName + "]");
    }
    for (int nIndex = 1; nIndex <= std::min(nCount, CAgentSettings::kMaxHotFolders); ++nIndex)
        if (present.count(nIndex) == 0)
            Problem("hotfoldercount=" + std::to_string(nCount) + " but there is no section [hotfolder_" +
                    std::to_string(nIndex) + "]");
}

void CSettingsCheck::CheckFolder(int nNumber, const CHotFolderInfo& folder) {
    std::string strLabel = FolderLabel(nNumber);
    if (folder.source.empty())
        Problem(strLabel + ": no source");
    else if (!IsFolderThroughLinks(folder.source))
        Problem(strLabel + ": source " + folder.source + " is missing or not a folder");
    else if (!Platform::CanReadFolder(folder.source))
        Problem(strLabel + ": source " + folder.source + " cannot be read");
    else {
        std::string strNetwork = Platform::GetNetworkFileSystemName(folder.source);
        if (!strNetwork.empty())
            Problem(strLabel + ": source " + folder.source + " is on a network file system (" + strNetwork +
                    "): changes made on other machines are not seen");
    }
    if (folder.destination.empty())
        Problem(strLabel + ": no destination");
    else if (!IsFolderThroughLinks(folder.destination))
        Problem(strLabel + ": destination " + folder.destination + " is missing or not a folder");
    else if (!Platform::CanWriteFolder(folder.destination))
        Problem(strLabel + ": destination " + folder.destination + " is not writable");
}

// Folders are compared by their resolved paths, so a link or ".." cannot hide a nesting.
void CSettingsCheck::CheckFolderRelations(const std::vector<CHotFolderInfo>& folders) {
    std::vector<std::string> sources;
    for (const CHotFolderInfo& folder : folders)
        sources.push_back(folder.source.empty() ? std::string() : Platform::ResolvePath(folder.source));
    for (size_t nIndex = 0; nIndex < folders.size(); ++nIndex) {
        std::string strLabel = FolderLabel(static_cast<int>(nIndex) + 1);
        std::string strDestination = folders[nIndex].destination.empty()
                                         ? std::string()
                                         : Platform::ResolvePath(folders[nIndex].destination);
        for (size_t nOther = 0; nOther < folders.size(); ++nOther) {
            const std::string& strOther = sources[nOther];
            if (strOther.empty())
                continue;
            std::string strOtherLabel = nOther == nIndex
                                            ? "its own source"
                                            : "the source of " + FolderLabel(static_cast<int>(nOther) + 1);
            if (!strDestination.empty() && IsSameOrInside(strDestination, strOther))
                Problem(strLabel + ": destination " + folders[nIndex].destination + " is inside " +
                        strOtherLabel + " (a copy loop)");
            if (nOther >= nIndex || sources[nIndex].empty())
                continue;
            if (sources[nIndex] == strOther)
                Problem(strLabel + ": same source as " + FolderLabel(static_cast<int>(nOther) + 1));
            else if (IsSameOrInside(sources[nIndex], strOther) || IsSameOrInside(strOther, sources[nIndex]))
                Problem(strLabel + ": source " + folders[nIndex].source + " and the source of " +
                        FolderLabel(static_cast<int>(nOther) + 1) + " lie inside each other");
        }
    }
}

void CSettingsCheck::CheckNumbers() {
    CIniFile ini(m_strSettingsPath);
    for (const char* szKey : {"hotfoldercount", "serverport"}) {
        std::string strValue = ini.GetString(kConfigurationSection, szKey, "");
        if (!CIniFile::IsProfileIntExact(strValue))
            Problem(std::string(szKey) + "=" + strValue + " does not fit a number; the agent reads it as " +
                    std::to_string(CIniFile::ParseProfileInt(strValue)));
    }
}

void CSettingsCheck::CheckServer() {
    CAddActivityContext context;
    CAgentSettings settings(m_strSettingsPath);
    context.m_strServerAddress = settings.GetServerAddress();
    context.m_nServerPort = settings.GetServerPort();
    if (context.m_nServerPort < 1 || context.m_nServerPort > 65535) {
        Problem("serverport=" + std::to_string(context.m_nServerPort) + " is not a port (1 to 65535)");
        return;
    }
    std::string strUrl = CAddActivityClientReqHandler(&context, nullptr).BuildURL();
    std::string strError;
    if (!CHttpRequest::CanConnect(strUrl, kConnectTimeoutMs, strError))
        Problem("server " + context.m_strServerAddress + " port " + std::to_string(context.m_nServerPort) +
                " does not accept connections: " + strError);
}

void CSettingsCheck::PrintArchive() {
    std::string strRejectedPath = JoinPath(m_strInstallFolder, CActivityFileDataStorage::kRejectedName);
    size_t nRejected = CountArchiveRecords(strRejectedPath);
    m_sink("--I: " + std::to_string(CountPendingActivities(m_strInstallFolder)) + " activities wait in " +
           JoinPath(m_strInstallFolder, CActivityFileDataStorage::kArchiveName));
    m_sink("--I: " + std::to_string(nRejected) + " activities set aside in " + strRejectedPath);
}

void CSettingsCheck::Problem(const std::string& strText) {
    ++m_nProblems;
    m_sink("--E: " + strText);
}
