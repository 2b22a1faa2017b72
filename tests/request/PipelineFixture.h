#pragma once

#include "Include/LogFile.h"
#include "Include/StatusReport.h"
#include "activity/Activity.h"
#include "client/HttpRequest.h"
#include "config/AgentSettings.h"
#include "platform/Environment.h"
#include "pool/IOThreadPool.h"
#include "printparser/ParserChild.h"
#include "printparser/PrintFileParser.h"
#include "request/FileRequestHandler.h"
#include "request/ParserWorkers.h"
#include "request/PendingActivitySender.h"
#include "support/FakeClock.h"
#include "support/FakeFileSystem.h"
#include "support/FakeProcessLauncher.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include "ReferenceServer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>

#ifndef _WIN32
#include <unistd.h>
#endif

// The parser the requests are told to start; the fake launcher runs its work in-process.
constexpr const char* kParserPath = "/opt/klendo/KlendoPrintInfo";

// What a parser worker answers for the file on strLine, parsed on the calling thread.
inline CFakeProcessLauncher::CReply ParseInProcess(size_t, const std::string& strLine) {
    CPrintFileParser parser;
    parser.SetFilePath(UnescapePathLine(strLine));
    FILEFORMATINFO info;
    parser.GetFileInfo(info, -1);
    return {{FormatProgressLine(info), kParserEndLine}};
}

// A hot folder, a destination, an archive folder and a reference server on 127.0.0.1, with the
// settings pointing at it; each request runs the real pipeline on the test's thread, on the real
// files of the folders, with the write-complete probe and the parser workers faked.
class PipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(m_strHot);
        std::filesystem::create_directories(m_strDestination);
        std::filesystem::create_directories(m_strArchiveFolder);
        m_launcher.SetScript(ParseInProcess);
        CRequestEnvironment environment;
        environment.strArchiveFolder = m_strArchiveFolder;
        environment.strSettingsPath = m_folder / "KlendoHotFolderAgent.ini";
        environment.strParserPath = kParserPath;
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

    CTempFolder m_folder;
    // Parses in-process unless a test scripts its workers otherwise.
    CFakeProcessLauncher m_launcher;
    CParserWorkers m_parserWorkers{m_launcher};
    std::string m_strHot = m_folder / "hot";
    std::string m_strDestination = m_folder / "dst";
    std::string m_strArchiveFolder = m_folder / "module";
    CScopedLog m_log{m_folder / "KlendoHotFolderAgent.log"};
    // The real files, with writers, refused leases and failures on demand.
    CFakeFileSystem m_files;
    // The re-send timer's waits pass only when a test advances this clock.
    CFakeClock m_clock;
    CStatusReport m_statusReport;
    CPendingActivitySender m_sender{m_clock, m_statusReport};
    CRequestProcessing m_processing{CRequestEnvironment(), m_files, m_sender, m_statusReport};
    std::unique_ptr<CReferenceServer> m_pServer;
    int m_nPort = 0;
};

// Whether a folder without write permission keeps this process out of it: not for root, nor on
// Windows, where the read-only attribute of a folder stops nobody.
inline bool PermissionsKeepUsOut() {
#ifdef _WIN32
    return false;
#else
    return ::geteuid() != 0;
#endif
}

inline bool Exists(const std::string& strPath) {
    return std::filesystem::exists(std::filesystem::symlink_status(strPath));
}

// The pool with the pipeline behind it, wired as in the agent, its waits on a fake clock: a file that
// waits for its writer, or was kept, comes back when the test advances the clock. Declared after the
// fixture's members, it is stopped (and its request threads are waited for) before they go.
class CPipelinePool {
  public:
    static constexpr std::chrono::seconds kDeadline{60};

    explicit CPipelinePool(CRequestProcessing& processing,
                           size_t nMaxRequestThreads = CIOThreadPool::kMaxRequestThreads)
        : m_pool(FakeClockEnvironment(), {nMaxRequestThreads, std::chrono::hours(1), std::chrono::hours(2)}) {
        m_pool.SetRequestProcessor([this, &processing](std::unique_ptr<CFileRequest> pRequest) {
            ProcessFileRequest(std::move(pRequest), m_pool, processing);
            std::lock_guard<std::mutex> guard(m_mutex);
            ++m_nProcessed;
            m_processed.notify_all();
        });
        m_pool.InitThreadPool(1);
    }
    ~CPipelinePool() { Stop(); }
    void Dispatch(CFileRequest* pRequest) { m_pool.DispatchNewRequest(pRequest); }
    CIOThreadPool& Get() { return m_pool; }
    void Stop() {
        m_pool.ShutdownThreadPool();
        m_pool.WaitForRequestThreads(kDeadline);
    }
    // Moves the pool's time past every pause and retry wait that has begun.
    void AdvancePastWaits() { m_clock.Advance(std::chrono::milliseconds(std::chrono::hours(3)).count()); }
    // True once the pipeline has run nCount times (each return of a waiting file counts); false after
    // the deadline, which only bounds a failure.
    bool WaitForProcessed(size_t nCount) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_processed.wait_for(lock, kDeadline, [&] { return m_nProcessed >= nCount; });
    }
    // Lets a waiting file come back, pause after pause, until done() holds after a run of the
    // pipeline; false when the runs stopped first (after the deadline, which only bounds a failure).
    bool AdvanceUntil(const std::function<bool()>& done) {
        for (size_t nCount = 1;; ++nCount) {
            if (!WaitForProcessed(nCount))
                return false;
            if (done())
                return true;
            AdvancePastWaits();
        }
    }

  private:
    CFakeClock m_clock;
    Platform::CEnvironment m_environment;
    std::mutex m_mutex;
    std::condition_variable m_processed;
    size_t m_nProcessed = 0;
    CIOThreadPool m_pool;

    const Platform::CEnvironment& FakeClockEnvironment() {
        m_environment = Platform::RealEnvironment();
        m_environment.pClock = &m_clock;
        return m_environment;
    }
};
