#pragma once

#include "request/FileOwner.h"
#include "request/RequestsInProgress.h"

#include "client/HttpRequest.h"
#include "platform/FileAccess.h"

#include <chrono>
#include <mutex>
#include <set>
#include <string>

class CParserWorkers;
class CPendingActivitySender;
class CStatusReport;
namespace Platform {
class ISessionInfo;
}

// Where the archive lives, which program parses print files, and the pipeline's fixed waits.
struct CRequestEnvironment {
    // The module directory: the folder of the agent's executable, which holds the archive.
    std::string strArchiveFolder;
    // The settings file, read afresh for every post.
    std::string strSettingsPath;
    // KlendoPrintInfo beside the agent's executable.
    std::string strParserPath;
    // The parser workers every request shares; set by whoever runs the requests, and outlives them.
    CParserWorkers* pParserWorkers = nullptr;
    std::chrono::milliseconds parseLimit{300000};
    int nWriteCompleteTries = 1000;
    std::chrono::milliseconds writeCompleteInterval{50};
    // Where no write lease can prove a file closed, it must also keep its size and time this long.
    std::chrono::milliseconds stableWindow{1000};
    // Who is logged on, for job tickets; none known when null.
    Platform::ISessionInfo* pSessions = nullptr;
    // The time-outs and connection reuse of every post to the server.
    CHttpSettings http;
};

// The environment of an agent installed in strModuleFolder.
CRequestEnvironment RequestEnvironmentIn(const std::string& strModuleFolder);

// What every request of one agent shares: made once (by main, or by a test), handed to each request,
// and outliving them all. Any thread.
class CRequestProcessing {
  public:
    // files: the file system the requests work on; sender: the re-sender of archived activities;
    // statusReport: hears what was posted and archived. All three outlive this object.
    CRequestProcessing(const CRequestEnvironment& environment, Platform::IFileSystem& files,
                       CPendingActivitySender& sender, CStatusReport& statusReport)
        : m_environment(environment), m_files(files), m_sender(sender), m_statusReport(statusReport) {}
    CRequestProcessing(const CRequestProcessing&) = delete;
    CRequestProcessing& operator=(const CRequestProcessing&) = delete;

    // A request takes a copy when it starts; a change reaches the requests started after it.
    CRequestEnvironment GetEnvironment() const;
    void SetEnvironment(const CRequestEnvironment& environment);

    CRequestsInProgress& GetRequestsInProgress() { return m_inProgress; }
    Platform::IFileSystem& GetFiles() { return m_files; }
    CPendingActivitySender& GetSender() { return m_sender; }
    CStatusReport& GetStatusReport() { return m_statusReport; }
    CLoggedOnUser& GetLoggedOnUser() { return m_loggedOnUser; }

    // True the first time a hot folder asks: its write-complete test is logged once.
    bool IsFirstWriteCompleteTestOf(const std::string& strFolder);

  private:
    mutable std::mutex m_mutex;
    // Guarded by m_mutex.
    CRequestEnvironment m_environment;
    // Guarded by m_mutex.
    std::set<std::string> m_loggedTestFolders;
    CRequestsInProgress m_inProgress;
    CLoggedOnUser m_loggedOnUser;
    Platform::IFileSystem& m_files;
    CPendingActivitySender& m_sender;
    CStatusReport& m_statusReport;
};
