#pragma once

#include "monitor/FileRequest.h"
#include "platform/FileAccess.h"
#include "request/RequestEnvironment.h"

#include <memory>
#include <string>

class CActivity;

// Carries one file of a hot folder through the whole job: the write-complete wait, the owner, the
// copy to the destination, the document's properties, the activity's post (or its archiving) and
// the removal of the processed file. One handler per request, made, run once and destroyed on the
// request's own thread; it owns the request and the activity.
//
// The file is reached below its hot folder without following any link, and once the wait is over
// the same open file serves the owner, the copy, a ticket's content and the removal.
class CFileRequestHandler {
  public:
    explicit CFileRequestHandler(CFileRequest* pRequest);
    virtual ~CFileRequestHandler();
    CFileRequestHandler(const CFileRequestHandler&) = delete;
    CFileRequestHandler& operator=(const CFileRequestHandler&) = delete;

    int HandleRequest();

    // 1 once the file is complete (or gone, or no regular file); 0 when a writer still had it after
    // every try.
    int WaitForWriteComplete();
    int ReadFileOwner(std::string strPath, bool bLoggedOnUser);
    int CopyFileToDestination();
    int ParseDocument();
    int BuildActivity();
    int PostActivity();
    void ProcessPendingActivities();
    int DeleteSourceFile();
    void RunPrintFileParser(std::string strPath, double& dFirst, double& dSecond, int& nPages);

    const std::string& GetSourcePath() const { return m_strSourcePath; }
    const std::string& GetDestinationPath() const { return m_strDestinationPath; }
    const CActivity& GetActivity() const { return *m_pActivity; }
    // The file stays in its hot folder after a failure and should be tried again later.
    bool IsKeptForRetry() const { return m_bKeptForRetry; }
    const CFileRequest& GetRequest() const { return *m_pRequest; }

  private:
    // One pass of the whole job; HandleRequest repeats it when the file was asked for meanwhile.
    int ProcessFile();
    // False for what is left alone (a link, no regular file, an abandoned print file) or kept.
    bool IsFileToProcess();
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
    CRequestEnvironment m_environment;
    Platform::CFileBeneath m_source;
    Platform::CFileBeneath m_destination;
    bool m_bAcknowledged = false;
    bool m_bArchived = false;
    bool m_bRenamedAway = false;
    bool m_bKeptForRetry = false;
    // A ticket that describes no job (no time): done, nothing to post.
    bool m_bNoJob = false;
    // The parse ran past its limit: the file is renamed once its job is safe.
    bool m_bParseAbandoned = false;
    // The version the last write-complete probe saw.
    Platform::CFileVersion m_completeVersion;
    // A ticket's content, read once right after the wait.
    std::string m_strTicketContent;
};

// The pool's request processor: runs the pipeline for one request on the calling thread. Returns the
// request again when its file was kept after a failure and should be retried, null otherwise.
std::unique_ptr<CFileRequest> ProcessFileRequest(std::unique_ptr<CFileRequest> pRequest);
