#pragma once

#include "Include/LogFile.h"
#include "Include/StatusReport.h"
#include "activity/Activity.h"
#include "client/HttpRequest.h"
#include "config/AgentSettings.h"
#include "platform/Environment.h"
#include "pool/IOThreadPool.h"
#include "request/FileRequestHandler.h"
#include "request/ParserWorkers.h"
#include "request/PendingActivitySender.h"
#include "support/FakeClock.h"
#include "support/FakeFileSystem.h"
#include "support/HoldingWriter.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include "ReferenceServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

// A hot folder, a destination, an archive folder and a reference server on 127.0.0.1, with the
// settings pointing at it; each request runs the real pipeline on the test's thread.
class PipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(m_strHot);
        std::filesystem::create_directories(m_strDestination);
        std::filesystem::create_directories(m_strArchiveFolder);
        CRequestEnvironment environment;
        environment.strArchiveFolder = m_strArchiveFolder;
        environment.strSettingsPath = m_folder / "KlendoHotFolderAgent.ini";
        environment.strParserPath = KLENDO_PRINTINFO_PATH;
        environment.pParserWorkers = &m_parserWorkers;
        environment.writeCompleteInterval = std::chrono::milliseconds(10);
        environment.http.connectTimeout = std::chrono::milliseconds(2000);
        environment.http.totalTimeout = std::chrono::milliseconds(5000);
        m_processing.SetEnvironment(environment);
    }

    void TearDown() override { StopServer(); }

    // Starts the server with the options and points the settings at it.
    void StartServer(SReferenceServerOptions options = {}) {
        StopServer();
        options.strDatabase = m_folder / "server.db";
        options.nPort = m_nPort;
        m_pServer = std::make_unique<CReferenceServer>(options);
        std::string strError;
        ASSERT_TRUE(m_pServer->Start(strError)) << strError;
        m_nPort = m_pServer->GetPort();
        PointSettingsAt(m_nPort);
    }

    void StopServer() {
        if (m_pServer)
            m_pServer->Stop();
        m_pServer.reset();
    }

    // Settings that point at a port where nobody listens.
    void PointSettingsAtNobody() { PointSettingsAt(1); }

    void PointSettingsAt(int nPort) {
        WriteWholeFile(m_folder / "KlendoHotFolderAgent.ini",
                       "[configuration]\nserveraddress=127.0.0.1\nserverport=" + std::to_string(nPort) +
                           "\n");
    }

    CFileRequest* Request(const std::string& strFilename, const std::string& strType = "") {
        auto* pRequest = new CFileRequest();
        pRequest->source = m_strHot;
        pRequest->destination = m_strDestination;
        pRequest->devicename = "Printer 7";
        pRequest->copies = 2;
        pRequest->type = strType;
        pRequest->filename = strFilename;
        pRequest->action = 1;
        return pRequest;
    }

    void Drop(const std::string& strName, const std::string& strContent = "%!PS\nshowpage\n") {
        WriteWholeFile(m_strHot + "/" + strName, strContent);
    }

    std::string Archive() const { return ReadWholeFile(m_strArchiveFolder + "/KlendoActivity.dat"); }

    // What the server stored, as its JSON list.
    std::string Stored() const {
        CHttpRequest request("GET",
                             "http://127.0.0.1:" + std::to_string(m_nPort) + "/activities?limit=100000");
        return request.Send("") ? request.GetResponseText() : std::string();
    }

    // Ids of the stored activities that the server took (verdict "1").
    std::set<std::string> AcknowledgedIds() const {
        std::set<std::string> ids;
        std::string strJson = Stored();
        const std::string strIdField = "\"id\":\"";
        const std::string strVerdictField = "\"verdict\":\"";
        for (size_t nPos = strJson.find(strIdField); nPos != std::string::npos;
             nPos = strJson.find(strIdField, nPos + 1)) {
            size_t nIdStart = nPos + strIdField.size();
            std::string strId = strJson.substr(nIdStart, strJson.find('"', nIdStart) - nIdStart);
            size_t nVerdict = strJson.find(strVerdictField, nIdStart);
            if (nVerdict != std::string::npos &&
                strJson.compare(nVerdict + strVerdictField.size(), 2, "1\"") == 0)
                ids.insert(strId);
        }
        return ids;
    }

    long StoredCount() const { return m_pServer ? m_pServer->GetStoredCount() : 0; }

    // Polls until the server stored at least nCount activities; false after the deadline, which only
    // bounds a failure.
    bool WaitForStored(long nCount, std::chrono::seconds timeout = std::chrono::seconds(60)) const {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (StoredCount() < nCount) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    CTempFolder m_folder;
    CParserWorkers m_parserWorkers{*Platform::RealEnvironment().pLauncher};
    std::string m_strHot = m_folder / "hot";
    std::string m_strDestination = m_folder / "dst";
    std::string m_strArchiveFolder = m_folder / "module";
    CScopedLog m_log{m_folder / "KlendoHotFolderAgent.log"};
    // The real files, with writers and refused leases on demand.
    CFakeFileSystem m_files;
    // The re-send timer's waits pass only when a test advances this clock.
    CFakeClock m_clock;
    CStatusReport m_statusReport;
    CPendingActivitySender m_sender{m_clock, m_statusReport};
    CRequestProcessing m_processing{CRequestEnvironment(), m_files, m_sender, m_statusReport};
    std::unique_ptr<CReferenceServer> m_pServer;
    int m_nPort = 0;
};

inline bool Exists(const std::string& strPath) {
    return std::filesystem::exists(std::filesystem::symlink_status(strPath));
}

// The pool with the pipeline behind it, wired as in the agent: a file that waits for its writer, or
// was kept, comes back on its own. Declared after the fixture's members, it is stopped (and its
// request threads are waited for) before they go.
class CPipelinePool {
  public:
    // No kept file comes back while a test looks.
    explicit CPipelinePool(CRequestProcessing& processing,
                           size_t nMaxRequestThreads = CIOThreadPool::kMaxRequestThreads)
        : m_pool(Platform::RealEnvironment(),
                 {nMaxRequestThreads, std::chrono::hours(1), std::chrono::hours(2)}) {
        m_pool.SetRequestProcessor([this, &processing](std::unique_ptr<CFileRequest> pRequest) {
            ProcessFileRequest(std::move(pRequest), m_pool, processing);
        });
        m_pool.InitThreadPool(1);
    }
    ~CPipelinePool() { Stop(); }
    void Dispatch(CFileRequest* pRequest) { m_pool.DispatchNewRequest(pRequest); }
    CIOThreadPool& Get() { return m_pool; }
    void Stop() {
        m_pool.ShutdownThreadPool();
        m_pool.WaitForRequestThreads(std::chrono::seconds(60));
    }
    // Polls until a request waits in the pool for its file's writer; false after the deadline.
    bool WaitForWaitingFile(std::chrono::seconds timeout = std::chrono::seconds(60)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_pool.GetWaitingForWriterCount() == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

  private:
    CIOThreadPool m_pool;
};

// Polls until the log holds strText; false after the deadline, which only bounds a failure.
inline bool WaitForLog(const CScopedLog& log, const std::string& strText,
                       std::chrono::seconds timeout = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (log.Content().find(strText) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
