#include "platform/FileAccess.h"

#include "platform/FileSystem.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>

// The names of partial copies and their clean-up, the same on every system.

namespace Platform {

namespace {

// The longest name of an entry in a folder on the file systems the agent writes to.
constexpr size_t kMaxNameLength = 255;

std::atomic<unsigned> g_nPartialCopyCounter{0};

// Drawn once per process and part of every partial copy's name, so that a start can tell the partial
// copies of earlier runs from the copies it has in progress.
unsigned RunNumber() {
    static const unsigned s_nRun = [] {
        std::random_device device;
        return static_cast<unsigned>(device());
    }();
    return s_nRun;
}

bool EndsWith(const std::string& strText, const std::string& strEnd) {
    return strText.size() >= strEnd.size() &&
           strText.compare(strText.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

// Whether a partial copy's name carries this run's number: a copy in progress, not a leftover.
bool IsOwnPartialCopy(const std::string& strName) {
    char szRun[16];
    std::snprintf(szRun, sizeof(szRun), ".%x.", RunNumber());
    size_t nEnd = strName.size() - std::strlen(CFileBeneath::kPartialCopySuffix);
    size_t nCount = strName.rfind('.', nEnd - 1);
    size_t nRun = strName.rfind('.', nCount - 1);
    return strName.compare(nRun, nCount + 1 - nRun, szRun) == 0;
}

} // namespace

std::string CFileBeneath::PartialCopyName(const std::string& strName) {
    char szUnique[32];
    std::snprintf(szUnique, sizeof(szUnique), ".%x.%x", RunNumber(), g_nPartialCopyCounter.fetch_add(1));
    std::string strTail = std::string(szUnique) + kPartialCopySuffix;
    size_t nRoom = kMaxNameLength - 1 - strTail.size();
    return "." + strName.substr(0, nRoom) + strTail;
}

bool CFileBeneath::IsPartialCopyName(const std::string& strName) {
    if (strName.empty() || strName[0] != '.' || !EndsWith(strName, kPartialCopySuffix))
        return false;
    size_t nEnd = strName.size() - std::strlen(kPartialCopySuffix);
    for (int nNumber = 0; nNumber < 2; ++nNumber) {
        size_t nDot = strName.rfind('.', nEnd - 1);
        if (nDot == std::string::npos || nDot == 0 || nDot + 1 == nEnd ||
            strName.find_first_not_of("0123456789abcdef", nDot + 1) < nEnd)
            return false;
        nEnd = nDot;
    }
    return true;
}

// The tree is walked first and the leftovers removed after, each resolved afresh below the root, so
// that a folder swapped for a link meanwhile cannot lead the removal out of the tree.
void CFileBeneath::RemovePartialCopies(const std::string& strRoot, std::vector<std::string>& removed,
                                       const std::function<bool()>& keepGoing) {
    std::vector<std::string> leftovers;
    ForEachFileInTree(
        strRoot,
        [&](const std::string& strRelative, const CFileVersion&) {
            size_t nSeparator = strRelative.rfind(kPathSeparator);
            std::string strName =
                nSeparator == std::string::npos ? strRelative : strRelative.substr(nSeparator + 1);
            if (IsPartialCopyName(strName) && !IsOwnPartialCopy(strName))
                leftovers.push_back(strRelative);
        },
        keepGoing);
    for (const std::string& strRelative : leftovers) {
        CFileBeneath leftover;
        if (leftover.Resolve(strRoot, strRelative) == Resolution::Resolved &&
            leftover.GetKind() == FileKind::Regular && leftover.Remove() == RemoveResult::Removed)
            removed.push_back(strRelative);
    }
}

} // namespace Platform
