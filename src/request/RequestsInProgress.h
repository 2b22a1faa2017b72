#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

class CWriteWait;

// Source paths being processed right now, or waiting in the pool for their writer. A start-up or
// overflow rescan, a retry and change notifications can ask for the same file at once. A request
// for a file being processed is not run beside it: it makes that run once more when it ends, so
// that a file changed meanwhile (a ticket rewritten while its first version was posting) is not
// left unprocessed. A request for a file that waits for its writer is dropped: the waiting request
// takes the file as it is once the writer has finished, and nothing has been read of it before.
// Any thread.
class CRequestsInProgress {
  public:
    enum class Claim { Taken, Running, Waiting };

    // pWait: the wait a request carries when it comes back from its pause; it takes its file again.
    Claim TryClaim(const std::string& strPath, const std::shared_ptr<CWriteWait>& pWait);
    // Ends the claim, unless the path was asked for meanwhile: then true, and the claim stays held
    // for another run.
    bool ReleaseUnlessAskedAgain(const std::string& strPath);
    void Release(const std::string& strPath);
    // The claim's request gives its slot back to wait for the file's writer: later requests for the
    // file leave it to that one. Nothing was read of the file, so earlier asks need no other run.
    void Park(const std::string& strPath, const std::shared_ptr<CWriteWait>& pWait);

  private:
    struct CEntry {
        bool bRunning = true;
        // Asked for again while it runs.
        bool bAskedAgain = false;
        // The request waiting for the file's writer, while not running.
        std::weak_ptr<CWriteWait> waiter;
    };

    std::mutex m_mutex;
    std::map<std::string, CEntry> m_paths;
};

// One request's claim of its source path, released when it ends unless parked or asked for again.
class CRequestClaim {
  public:
    CRequestClaim(CRequestsInProgress& inProgress, const std::string& strPath,
                  const std::shared_ptr<CWriteWait>& pWait);
    ~CRequestClaim();
    CRequestClaim(const CRequestClaim&) = delete;
    CRequestClaim& operator=(const CRequestClaim&) = delete;

    CRequestsInProgress::Claim GetState() const { return m_state; }
    // True when the file was asked for while this claim ran; the claim then stays held.
    bool WasAskedAgain();
    void ParkForWriter(const std::shared_ptr<CWriteWait>& pWait);

  private:
    CRequestsInProgress& m_inProgress;
    std::string m_strPath;
    CRequestsInProgress::Claim m_state;
    bool m_bHeld;
};
