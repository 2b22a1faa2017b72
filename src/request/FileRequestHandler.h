#pragma once

#include "platform/FileAccess.h"
#include "pool/FileRequest.h"
#include "request/RequestEnvironment.h"

#include <chrono>
#include <memory>
#include <string>

class CActivity;
class CIOThreadPool;

// Carries one file of a hot folder through the whole job: the write-complete wait, the owner, the
// copy to the destination, the document's properties, the activity's post (or its archiving) and
// the removal of the processed file. One handler per request, made, run once and destroyed on the
// request's own thread; it owns the request and the activity.
//
// The file is reached below its hot folder without following any link, and once the wait is over
// the same open file serves the owner, the copy, a ticket's content and the removal.
//
// A file that its writer still has after a short slice of probes is not waited for on the request
// thread: HandleRequest ends with the request waiting for its writer, and the request, carrying its
// wait, is to be run again by a new handler after the pause.
class CFileRequestHandler {
  public:
    enum class WriteState { Complete, Pending, TimedOut };

    // processing: what every request of the agent shares; it outlives the handler.
    CFileRequestHandler(CFileRequest* pRequest, CRequestProcessing& processing);
    virtual ~CFileRequestHandler();
    CFileRequestHandler(const CFileRequestHandler&) = delete;
    CFileRequestHandler& operator=(const CFileRequestHandler&) = delete;

    int HandleRequest();

    const std::string& GetSourcePath() const { return m_strSourcePath; }
    const std::string& GetDestinationPath() const { return m_strDestinationPath; }
    const CActivity& GetActivity() const { return *m_pActivity; }
    // The file stays in its hot folder after a failure and should be tried again later.
    bool IsKeptForRetry() const { return m_bKeptForRetry; }
    // The file's writer still has it: the request should run again after GetWriterPause.
    bool IsWaitingForWriter() const { return m_bWaitingForWriter; }
    std::chrono::milliseconds GetWriterPause() const { return m_writerPause; }
    // Hands the request back to the caller once HandleRequest has ended.
    std::unique_ptr<CFileRequest> ReleaseRequest();

  private:
    // One slice of the request's write-complete wait: Complete once the file is complete (or gone,
    // or no regular file); Pending when a writer still has it after the slice (GetWriterPause tells
    // how long to pause); TimedOut when it still had it when the wait's whole budget was spent.
    WriteState WaitForWriteComplete();
    int CopyFileToDestination();
    int ParseDocument();
    int BuildActivity();
    int DeleteSourceFile();
    // One pass of the whole job; HandleRequest repeats it when the file was asked for meanwhile.
    int ProcessFile();
    // False for what is left alone (a link, no regular file, an abandoned print file) or kept.
    bool IsFileToProcess();
    // True once the file is complete and held; false when it waits for its writer, or is kept.
    bool WaitAndHold();
    // Back to a fresh activity and outcome for another pass.
    void ResetForAnotherPass();
    // True when the job is safe without the source file: the server took the activity, or it is in
    // the archive.
    bool IsJobSafe() const { return m_bAcknowledged || m_bArchived; }
    // A print file that this agent renamed after its parse was abandoned: it stays for the operator.
    bool IsAbandonedPrintFile() const;
    bool IsTicketVersionProcessed() const;
    // Reads a ticket's content from the held file; false when it was rewritten while being read.
    bool ReadTicketContent();
    // Moves a print file whose parse was abandoned to its new name and remembers it as abandoned.
    void AbandonPrintFile();
    void LogWriteCompleteTestOnce(const Platform::CProbeResult& probe, const std::string& strNetwork) const;
    // After the steps: removes the processed file, or keeps it in the hot folder for a retry.
    void FinishFile();

    // How often the wait starts over for a file that changed between its wait and its opening.
    static constexpr int kHoldRounds = 3;

    CFileRequest* m_pRequest;
    std::string m_strSourcePath;
    std::string m_strDestinationPath;
    CActivity* m_pActivity;
    CRequestProcessing& m_processing;
    // Taken when the handler is made: the whole job runs with one environment.
    CRequestEnvironment m_environment;
    std::unique_ptr<Platform::IFileBeneath> m_pSource;
    std::unique_ptr<Platform::IFileBeneath> m_pDestination;
    bool m_bAcknowledged = false;
    bool m_bArchived = false;
    bool m_bRenamedAway = false;
    bool m_bKeptForRetry = false;
    bool m_bWaitingForWriter = false;
    std::chrono::milliseconds m_writerPause{0};
    // A ticket that describes no job (no time): done, nothing to post.
    bool m_bNoJob = false;
    // The parse ran past its limit: the file is renamed once its job is safe.
    bool m_bParseAbandoned = false;
    // The version the last write-complete probe saw.
    Platform::CFileVersion m_completeVersion;
    // A ticket's content, read once right after the wait.
    std::string m_strTicketContent;
};

// The pool's request processor: runs the pipeline for one request on the calling thread, then hands
// the request back to the pool when its file waits for its writer (after a pause) or was kept after
// a failure (for a retry).
void ProcessFileRequest(std::unique_ptr<CFileRequest> pRequest, CIOThreadPool& pool,
                        CRequestProcessing& processing);
