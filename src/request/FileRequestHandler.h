#pragma once

#include "monitor/FileRequest.h"
#include "request/RequestEnvironment.h"

#include <memory>
#include <string>

class CActivity;

// Carries one file of a hot folder through the whole job: the write-complete wait, the owner, the
// copy to the destination, the document's properties, the activity's post (or its archiving) and
// the removal of the processed file. One handler per request, made, run once and destroyed on the
// request's own thread; it owns the request and the activity.
class CFileRequestHandler {
  public:
    explicit CFileRequestHandler(CFileRequest* pRequest);
    virtual ~CFileRequestHandler();
    CFileRequestHandler(const CFileRequestHandler&) = delete;
    CFileRequestHandler& operator=(const CFileRequestHandler&) = delete;

    int HandleRequest();

    void WaitForWriteComplete();
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

  private:
    // True when the job is safe without the source file: the server took the activity, or it is in
    // the archive.
    bool IsJobSafe() const { return m_bAcknowledged || m_bArchived; }
    // A print file renamed after its parse was abandoned: it stays in the hot folder, and its
    // activity was posted under its old name.
    bool IsAbandonedPrintFile() const;

    CFileRequest* m_pRequest;
    std::string m_strSourcePath;
    std::string m_strDestinationPath;
    CActivity* m_pActivity;
    CRequestEnvironment m_environment;
    bool m_bAcknowledged = false;
    bool m_bArchived = false;
};

// The pool's request processor: runs the pipeline for one request on the calling thread.
void ProcessFileRequest(std::unique_ptr<CFileRequest> pRequest);
