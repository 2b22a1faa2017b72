#include "request/FileRequestHandler.h"

#include "Include/LogFile.h"
#include "activity/Activity.h"
#include "platform/FileAccess.h"
#include "platform/Thread.h"
#include "platform/Time.h"

#include <mutex>
#include <set>
#include <thread>

namespace {

// Source paths being processed right now. A start-up or overflow rescan and a change notification
// can ask for the same file at once; the second request then leaves it to the first.
class CRequestsInProgress {
  public:
    bool Claim(const std::string& strPath) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_paths.insert(strPath).second;
    }
    void Release(const std::string& strPath) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_paths.erase(strPath);
    }

  private:
    std::mutex m_mutex;
    std::set<std::string> m_paths;
};

CRequestsInProgress g_requestsInProgress;

class CClaim {
  public:
    explicit CClaim(const std::string& strPath) : m_strPath(strPath), m_bHeld(g_requestsInProgress.Claim(strPath)) {}
    ~CClaim() {
        if (m_bHeld)
            g_requestsInProgress.Release(m_strPath);
    }
    CClaim(const CClaim&) = delete;
    CClaim& operator=(const CClaim&) = delete;
    bool IsHeld() const { return m_bHeld; }

  private:
    std::string m_strPath;
    bool m_bHeld;
};

} // namespace

CFileRequestHandler::CFileRequestHandler(CFileRequest* pRequest)
    : m_pRequest(pRequest), m_strSourcePath(JoinPath(pRequest->source, pRequest->filename)),
      m_strDestinationPath(JoinPath(pRequest->destination, pRequest->filename)), m_pActivity(new CActivity()),
      m_environment(GetRequestEnvironment()) {}

CFileRequestHandler::~CFileRequestHandler() {
    delete m_pActivity;
    delete m_pRequest;
}

int CFileRequestHandler::HandleRequest() {
    try {
        CClaim claim(m_strSourcePath);
        if (!claim.IsHeld()) {
            LogTrace("--I: already in progress =%s", m_strSourcePath.c_str());
            return 1;
        }
        // Anyone who can write into a hot folder could otherwise make the agent copy any file of the
        // machine into the destination.
        if (Platform::GetFileKind(m_strSourcePath) == Platform::FileKind::SymbolicLink) {
            LogTrace("--F: symbolic link left alone =%s", m_strSourcePath.c_str());
            return 1;
        }
        if (IsAbandonedPrintFile()) {
            LogTrace("--I: abandoned print file left alone =%s", m_strSourcePath.c_str());
            return 1;
        }
        LogTrace("--I: wait for write complete =%s", m_strSourcePath.c_str());
        WaitForWriteComplete();
        LogTrace("--I: wait end =%s", m_strSourcePath.c_str());
        ReadFileOwner(m_strSourcePath, false);
        int nCopied = CopyFileToDestination();
        LogTraceDetail("--I: status copyfile= %d", nCopied);
        if (nCopied) {
            int nParsed = ParseDocument();
            LogTraceDetail("--I:status parsedoc = %d", nParsed);
            if (nParsed) {
                LogTraceDetail("--I:status buildactivity = %d", BuildActivity());
                LogTrace("--I:status postactivity = %d", PostActivity());
            } else {
                LogTrace("--E:status parsedoc failed (%d)", Platform::GetLastError());
            }
        } else {
            LogTrace("--E:status copy file destination failed (%d)", Platform::GetLastError());
        }
        // A print file is the only copy of its job until the job is posted or archived.
        if (!m_pRequest->IsTicketFolder() && !IsJobSafe() && FileExists(m_strSourcePath)) {
            LogTrace("--F: source file kept =%s", m_strSourcePath.c_str());
            return 1;
        }
        LogTrace("--I:status deletefile = %d", DeleteSourceFile());
        return 1;
    } catch (...) {
        LogTrace("*** E: HandleRequest ***");
        return 0;
    }
}

bool CFileRequestHandler::IsAbandonedPrintFile() const {
    if (m_pRequest->IsTicketFolder())
        return false;
    std::string strName = SplitPath(m_strSourcePath, 0);
    return strName.find("FATAL-") != std::string::npos || strName.find(".klendo") != std::string::npos;
}

void CFileRequestHandler::WaitForWriteComplete() {
    for (int nTry = 0; nTry < m_environment.nWriteCompleteTries; ++nTry) {
        // A file that does not exist (or is no regular file) will not become complete by waiting.
        if (Platform::ProbeExclusiveOpen(m_strSourcePath) != Platform::OpenState::Busy)
            return;
        std::this_thread::sleep_for(m_environment.writeCompleteInterval);
    }
}

int CFileRequestHandler::CopyFileToDestination() {
    try {
        LogTrace("--I: copying file S=%s D=%s", m_strSourcePath.c_str(), m_strDestinationPath.c_str());
        if (Platform::CopyRegularFile(m_strSourcePath, m_strDestinationPath)) {
            LogTrace("--I: successfully copied the file");
            return 1;
        }
        int nError = Platform::GetLastError();
        LogTrace("--F: failed to copy file error =%d", nError);
        Platform::SetLastError(nError);
        return 0;
    } catch (...) {
        LogTrace("*** E: CFileRequestHandler CopyFileToDestination ***");
        return 0;
    }
}

int CFileRequestHandler::BuildActivity() {
    try {
        m_pActivity->m_strStatus = "pending";
        m_pActivity->m_strSource = "KlendoHotFolderAgent";
        m_pActivity->m_document.m_strDevice = m_pRequest->devicename;
        m_pActivity->m_document.m_strDateTime = Platform::FormatLocalTime("%Y-%m-%d %H:%M:%S");
        return 1;
    } catch (...) {
        LogTrace("*** E: CFileRequestHandler BuildActivity ***");
        return 0;
    }
}

int CFileRequestHandler::DeleteSourceFile() {
    try {
        const std::string& strPath = m_pRequest->IsTicketFolder() ? m_strDestinationPath : m_strSourcePath;
        return DeleteFileIfExists(strPath) ? 1 : 0;
    } catch (...) {
        LogTrace("*** E: DeleteSourceFile *** ");
        return 0;
    }
}

void ProcessFileRequest(std::unique_ptr<CFileRequest> pRequest) {
    CFileRequestHandler handler(pRequest.release());
    handler.HandleRequest();
}
