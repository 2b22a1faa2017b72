#include "request/FileRequestHandler.h"

#include "Include/LogFile.h"
#include "activity/Activity.h"
#include "monitor/TicketLedger.h"
#include "platform/FileSystemKind.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "pool/IOThreadPool.h"
#include "request/AbandonedFiles.h"
#include "request/DocumentProperties.h"
#include "request/FileOwner.h"
#include "request/Posting.h"
#include "request/WriteWait.h"

#include <chrono>
#include <thread>

CFileRequestHandler::CFileRequestHandler(CFileRequest* pRequest, CRequestProcessing& processing)
    : m_pRequest(pRequest), m_strSourcePath(JoinPath(pRequest->source, pRequest->filename)),
      m_strDestinationPath(JoinPath(pRequest->destination, pRequest->filename)), m_pActivity(new CActivity()),
      m_processing(processing), m_environment(processing.GetEnvironment()),
      m_pSource(processing.GetFiles().NewFile()), m_pDestination(processing.GetFiles().NewFile()) {}

CFileRequestHandler::~CFileRequestHandler() {
    delete m_pActivity;
    delete m_pRequest;
}

int CFileRequestHandler::HandleRequest() {
    try {
        CRequestClaim claim(m_processing.GetRequestsInProgress(), m_strSourcePath, m_pRequest->pWriteWait);
        if (claim.GetState() == CRequestsInProgress::Claim::Running) {
            LogTrace("--I: already in progress, processed again when it ends =%s", m_strSourcePath.c_str());
            return 1;
        }
        if (claim.GetState() == CRequestsInProgress::Claim::Waiting) {
            LogTrace("--I: already waiting for its writer =%s", m_strSourcePath.c_str());
            return 1;
        }
        int nResult = ProcessFile();
        while (!m_bWaitingForWriter && claim.WasAskedAgain()) {
            LogTrace("--I: asked for again while in progress, processing again =%s", m_strSourcePath.c_str());
            ResetForAnotherPass();
            nResult = ProcessFile();
        }
        if (m_bWaitingForWriter)
            claim.ParkForWriter(m_pRequest->pWriteWait);
        return nResult;
    } catch (...) {
        m_bWaitingForWriter = false;
        LogTrace("*** E: HandleRequest ***");
        return 0;
    }
}

std::unique_ptr<CFileRequest> CFileRequestHandler::ReleaseRequest() {
    std::unique_ptr<CFileRequest> pRequest(m_pRequest);
    m_pRequest = nullptr;
    return pRequest;
}

void CFileRequestHandler::ResetForAnotherPass() {
    delete m_pActivity;
    m_pActivity = new CActivity();
    m_bAcknowledged = false;
    m_bArchived = false;
    m_bRenamedAway = false;
    m_bKeptForRetry = false;
    m_bNoJob = false;
    m_bParseAbandoned = false;
    m_strTicketContent.clear();
}

int CFileRequestHandler::ProcessFile() {
    if (!IsFileToProcess()) {
        m_pRequest->pWriteWait.reset();
        return 1;
    }
    if (!m_pRequest->pWriteWait) {
        LogTrace("--I: wait for write complete =%s", m_strSourcePath.c_str());
        m_pRequest->pWriteWait =
            std::make_shared<CWriteWait>(CWriteWait::Clock::now(), m_environment.stableWindow);
    }
    bool bHeld = WaitAndHold();
    // The wait is over unless the writer still has the file; a kept file starts a new one at its retry.
    if (!m_bWaitingForWriter)
        m_pRequest->pWriteWait.reset();
    if (!bHeld)
        return 1;
    LogTrace("--I: wait end =%s", m_strSourcePath.c_str());
    // The agent's own rename of an abandoned file is noticed as a new name, whose request may have
    // started before the rename was remembered; by now it is.
    if (IsAbandonedPrintFile()) {
        LogTrace("--I: abandoned print file left alone =%s", m_strSourcePath.c_str());
        return 1;
    }
    if (IsTicketVersionProcessed()) {
        LogTrace("--I: ticket version already processed =%s", m_strSourcePath.c_str());
        return 1;
    }
    if (m_pRequest->IsTicketFolder() && !ReadTicketContent()) {
        LogTrace("--I: ticket rewritten while it was read, tried again =%s", m_strSourcePath.c_str());
        m_bKeptForRetry = true;
        return 1;
    }
    ReadFileOwner(*m_pSource, m_strSourcePath, nullptr, nullptr, *m_pActivity);
    int nCopied = CopyFileToDestination();
    LogTraceDetail("--I: status copyfile= %d", nCopied);
    if (nCopied) {
        int nParsed = ParseDocument();
        LogTraceDetail("--I:status parsedoc = %d", nParsed);
        if (nParsed) {
            LogTraceDetail("--I:status buildactivity = %d", BuildActivity());
            LogTrace("--I:status postactivity = %d",
                     PostActivity(*m_pActivity, m_environment, m_processing, m_bAcknowledged, m_bArchived));
        } else {
            LogTrace("--E:status parsedoc failed (%d)", Platform::GetLastError());
        }
    } else {
        LogTrace("--E:status copy file destination failed (%d)", Platform::GetLastError());
    }
    FinishFile();
    return 1;
}

// Anyone who can write into a hot folder could otherwise make the agent copy, post and delete any
// file of the machine, through a link as the file or as any folder on its way; a named pipe, socket
// or device is no print job and would only be tried again for ever.
bool CFileRequestHandler::IsFileToProcess() {
    Platform::IFileBeneath::Resolution resolution =
        m_pSource->Resolve(m_pRequest->source, m_pRequest->filename);
    Platform::FileKind kind = m_pSource->GetKind();
    if (resolution == Platform::IFileBeneath::Resolution::Link || kind == Platform::FileKind::SymbolicLink) {
        LogTrace("--F: symbolic link left alone =%s", m_strSourcePath.c_str());
        return false;
    }
    if (resolution == Platform::IFileBeneath::Resolution::Failed) {
        LogTrace("--F: folder of the file cannot be opened p=%s error =%d, kept for a later try",
                 m_strSourcePath.c_str(), Platform::GetLastError());
        m_bKeptForRetry = true;
        return false;
    }
    if (kind == Platform::FileKind::Other) {
        LogTrace("--F: not a regular file, left alone =%s", m_strSourcePath.c_str());
        return false;
    }
    if (IsAbandonedPrintFile()) {
        LogTrace("--I: abandoned print file left alone =%s", m_strSourcePath.c_str());
        return false;
    }
    return true;
}

// The write-complete wait, then the file held open. The wait probes the name; should the name hold
// another version by the time it is held (replaced, or written again), the wait starts over.
bool CFileRequestHandler::WaitAndHold() {
    CWriteWait& wait = *m_pRequest->pWriteWait;
    while (true) {
        WriteState state = WaitForWriteComplete();
        if (state == WriteState::Pending) {
            m_bWaitingForWriter = true;
            return false;
        }
        if (state == WriteState::TimedOut) {
            LogTrace("--F: file still being written after %d tries, kept for a later try =%s",
                     m_environment.nWriteCompleteTries, m_strSourcePath.c_str());
            m_bKeptForRetry = true;
            return false;
        }
        // A file that could not be opened is reported by the steps that need it.
        if (!m_pSource->OpenHeld() || m_pSource->GetHeldVersion() == m_completeVersion)
            return true;
        if (wait.GetRestarts() + 1 >= kHoldRounds)
            break;
        LogTrace("--I: file changed after its wait, waiting again =%s", m_strSourcePath.c_str());
        m_pSource->ReleaseHeld();
        wait.Restart(CWriteWait::Clock::now());
    }
    LogTrace("--F: file keeps changing, kept for a later try =%s", m_strSourcePath.c_str());
    m_bKeptForRetry = true;
    return false;
}

void CFileRequestHandler::FinishFile() {
    bool bDone = IsJobSafe() || m_bNoJob;
    if (bDone && m_pRequest->pTicketLedger && m_pSource->IsHeld())
        m_pRequest->pTicketLedger->MarkProcessed(m_pRequest->filename, m_pSource->GetHeldVersion());
    // Renamed only once its job is safe: a job neither posted nor archived is tried again under its
    // old name.
    if (bDone && m_bParseAbandoned)
        AbandonPrintFile();
    // A print file is the only copy of its job until the job is posted or archived; a ticket stays
    // in any case, and only its retry depends on the outcome.
    if (!bDone && m_pSource->GetKind() == Platform::FileKind::Regular) {
        m_bKeptForRetry = true;
        if (!m_pRequest->IsTicketFolder()) {
            LogTrace("--F: source file kept =%s", m_strSourcePath.c_str());
            return;
        }
    }
    LogTrace("--I:status deletefile = %d", DeleteSourceFile());
}

// The same ticket version is asked for by every notification and scan that sees it; it is billed once.
bool CFileRequestHandler::IsTicketVersionProcessed() const {
    return m_pRequest->pTicketLedger && m_pSource->IsHeld() &&
           m_pRequest->pTicketLedger->IsProcessed(m_pRequest->filename, m_pSource->GetHeldVersion());
}

bool CFileRequestHandler::ReadTicketContent() {
    // A missing or unreadable ticket reads as an empty one: every key takes its default.
    if (!m_pSource->IsHeld())
        return true;
    if (!m_pSource->ReadHeld(m_strTicketContent, CJobTicketReader::kMaxTicketBytes)) {
        m_strTicketContent.clear();
        return true;
    }
    return !m_pSource->HasHeldFileChanged();
}

bool CFileRequestHandler::IsAbandonedPrintFile() const {
    Platform::CFileVersion version = m_pSource->GetHeldVersion();
    return !m_pRequest->IsTicketFolder() && (m_pSource->IsHeld() || m_pSource->GetVersion(version)) &&
           CAbandonedFiles::In(m_environment.strArchiveFolder).Contains(m_strSourcePath, version);
}

void CFileRequestHandler::AbandonPrintFile() {
    std::string strNewName =
        JoinPath(SplitPath(m_pRequest->filename, 3), AbandonedParseName(SplitPath(m_pRequest->filename, 0)));
    if (strNewName == m_pRequest->filename)
        return;
    Platform::CFileVersion version = m_pSource->GetHeldVersion();
    if (!m_pSource->MoveToFreeName(strNewName)) {
        LogTrace("--F: abandoned print file not renamed p=%s error =%d", m_strSourcePath.c_str(),
                 Platform::GetLastError());
        return;
    }
    m_bRenamedAway = true;
    std::string strNewPath = JoinPath(m_pRequest->source, strNewName);
    LogTrace("--I: abandoned print file renamed to %s", strNewPath.c_str());
    CAbandonedFiles::In(m_environment.strArchiveFolder).Add(strNewPath, version);
}

CFileRequestHandler::WriteState CFileRequestHandler::WaitForWriteComplete() {
    CWriteWait& wait = *m_pRequest->pWriteWait;
    CStableFileCheck& stable = wait.GetStableCheck();
    // A lease sees only this machine's processes: on a network file system a writer on another host
    // goes unseen, so there the file must also stay unchanged for a while.
    std::string strNetwork = Platform::GetNetworkFileSystemName(m_pRequest->source);
    std::chrono::milliseconds interval = m_environment.writeCompleteInterval;
    std::chrono::milliseconds budget = interval * m_environment.nWriteCompleteTries;
    int nProbes = wait.GetProbesThisSlice();
    for (int nProbe = 1;; ++nProbe) {
        Platform::CProbeResult probe = m_pSource->ProbeExclusiveOpen();
        m_completeVersion = probe.version;
        // A file that does not exist, is no regular file or cannot be opened at all will not become
        // complete by waiting; the steps that need it report it.
        if (probe.state != Platform::OpenState::Free && probe.state != Platform::OpenState::Busy)
            return WriteState::Complete;
        LogWriteCompleteTestOnce(probe, strNetwork);
        CWriteWait::Clock::time_point now = CWriteWait::Clock::now();
        bool bBusy = probe.state == Platform::OpenState::Busy;
        // The system announces a new file before its creator's open counts as a writer: in that moment
        // the lease finds the still empty file free. An empty file must also stay unchanged for the
        // window, which its writer's open ends.
        bool bLeaseSuffices = probe.test == Platform::WriteCompleteTest::WriteLease && strNetwork.empty() &&
                              probe.version.nSize > 0;
        if (bBusy)
            stable.Reset();
        else if (bLeaseSuffices || stable.IsStable(probe.version, now))
            return WriteState::Complete;
        if (wait.IsOverBudget(now, budget))
            return WriteState::TimedOut;
        if (nProbe >= nProbes) {
            m_writerPause = wait.NextPause(interval, bBusy, now);
            return WriteState::Pending;
        }
        std::this_thread::sleep_for(interval);
    }
}

void CFileRequestHandler::LogWriteCompleteTestOnce(const Platform::CProbeResult& probe,
                                                   const std::string& strNetwork) const {
    if (!m_processing.IsFirstWriteCompleteTestOf(m_pRequest->source))
        return;
    long long nWindow = static_cast<long long>(m_environment.stableWindow.count());
    if (probe.test == Platform::WriteCompleteTest::OpenFileSearch)
        LogTrace("--I: write-complete test s=%s: no write lease (error %d), open files of every process and "
                 "a size "
                 "and time unchanged for %lld ms",
                 m_pRequest->source.c_str(), probe.nError, nWindow);
    else if (!strNetwork.empty())
        LogTrace(
            "--I: write-complete test s=%s: write lease and a size and time unchanged for %lld ms (network "
            "file system %s)",
            m_pRequest->source.c_str(), nWindow, strNetwork.c_str());
    else
        LogTrace("--I: write-complete test s=%s: write lease", m_pRequest->source.c_str());
}

int CFileRequestHandler::CopyFileToDestination() {
    try {
        LogTrace("--I: copying file S=%s D=%s", m_strSourcePath.c_str(), m_strDestinationPath.c_str());
        // An empty destination names the current folder, as a bare file name would.
        std::string strRoot = m_pRequest->destination.empty() ? "." : m_pRequest->destination;
        Platform::IFileBeneath::Resolution resolution =
            m_pDestination->Resolve(strRoot, m_pRequest->filename);
        if (resolution == Platform::IFileBeneath::Resolution::Resolved &&
            m_pSource->CopyHeldTo(*m_pDestination)) {
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

int CFileRequestHandler::ParseDocument() {
    CDocumentProperties document(*m_pRequest, *m_pSource, m_environment, m_processing.GetLoggedOnUser());
    int nResult = document.Read(m_strTicketContent, *m_pActivity);
    m_bNoJob = document.IsNoJob();
    m_bParseAbandoned = document.IsParseAbandoned();
    return nResult;
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

// Only the file that was processed is removed: one that took its name meanwhile is a new job.
int CFileRequestHandler::DeleteSourceFile() {
    try {
        if (m_pRequest->IsTicketFolder())
            return m_pDestination->Remove() == Platform::RemoveResult::Removed ? 1 : 0;
        if (m_bRenamedAway)
            return 1;
        Platform::RemoveResult result = m_pSource->Remove();
        if (result == Platform::RemoveResult::Replaced)
            LogTrace("--I: another file took the name meanwhile, left for its own request =%s",
                     m_strSourcePath.c_str());
        return result == Platform::RemoveResult::Removed ? 1 : 0;
    } catch (...) {
        LogTrace("*** E: DeleteSourceFile *** ");
        return 0;
    }
}

void ProcessFileRequest(std::unique_ptr<CFileRequest> pRequest, CIOThreadPool& pool,
                        CRequestProcessing& processing) {
    CFileRequestHandler handler(pRequest.release(), processing);
    handler.HandleRequest();
    if (handler.IsWaitingForWriter())
        pool.DispatchLater(handler.ReleaseRequest(), handler.GetWriterPause());
    else if (handler.IsKeptForRetry())
        pool.RetryLater(handler.ReleaseRequest());
}
