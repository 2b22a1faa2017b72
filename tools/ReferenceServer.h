#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// How the reference accounting server answers; the defaults take every activity.
struct SReferenceServerOptions {
    std::string strAddress = "127.0.0.1";
    // 0 picks a free port.
    int nPort = 0;
    // SQLite database file; ":memory:" keeps everything in memory.
    std::string strDatabase = "KlendoReferenceServer.db";
    // The reply root's status; not written at all when bOmitStatus.
    std::string strStatus = "1";
    bool bOmitStatus = false;
    // Statuses given to the activities received, in turn across posts ("1", "0" or a pattern).
    std::vector<std::string> activityStatuses = {"1"};
    // Reply without activity elements.
    bool bOmitActivities = false;
    // Any other value than 200 answers every post with this status and an HTML page, storing nothing.
    int nHttpStatus = 200;
    // A body longer than this is answered 413 with an HTML page, storing nothing, as a proxy with a
    // body limit does; 0: no limit.
    size_t nMaxBodyBytes = 0;
    // Wait before each answer to a post; ends early when the server stops.
    int nDelayMs = 0;
    // When not empty, the verbatim body of every answer to a post (activities are still stored).
    std::string strReplyBody;
    // Refuse (400, nothing stored) a body that is not well-formed XML 1.0 in UTF-8, as a strict server
    // does; when false, whatever pugixml can read is taken.
    bool bStrictXml = true;
    // Worker threads. A connection holds its worker for as long as it is open, also while kept alive
    // between requests, so there must be room for every client's kept connections plus new ones.
    int nThreads = 64;
    // How long an idle kept-alive connection stays open, and how many requests one connection serves
    // before the server closes it (1: a connection per request).
    int nKeepAliveSeconds = 5;
    int nKeepAliveRequests = 1000;
};

// The options by the names of the server's command line without the dashes ("port", "delay-ms",
// "no-status", ...), "reply" being the reply's text itself: for a server run in another process.
// Flags take any value. False with strError for an unknown name or a bad value.
bool IsReferenceServerFlag(const std::string& strName);
bool SetReferenceServerOption(SReferenceServerOptions& options, const std::string& strName,
                              const std::string& strValue, std::string& strError);
// The options as the names and values that SetReferenceServerOption takes back.
std::vector<std::pair<std::string, std::string>>
DescribeReferenceServerOptions(const SReferenceServerOptions& options);
// Sent to another process as NAME=VALUE&..., each name and value escaped (EscapeBytes) for these.
constexpr const char* kReferenceServerOptionSeparators = "&=";

struct SReferenceServerImpl;
namespace httplib {
struct Response;
class Server;
} // namespace httplib

// Lets server listen on its port alone: httplib's default shares a port with any other listener that
// asks (SO_REUSEPORT), so a second server started on a taken port would silently take half its
// connections instead of failing.
void ListenAlone(httplib::Server& server);
namespace pugi {
class xml_node;
}

// A stand-in for the accounting server: takes add-activity posts, stores every activity in SQLite
// and answers with the configured verdicts; GET /activities lists the stored activities as JSON and
// GET / as an HTML table. Start and Stop are called from one thread; requests are served on the
// server's own worker threads, the database behind one mutex.
class CReferenceServer {
  public:
    explicit CReferenceServer(SReferenceServerOptions options);
    ~CReferenceServer();
    CReferenceServer(const CReferenceServer&) = delete;
    CReferenceServer& operator=(const CReferenceServer&) = delete;

    // Opens the database, binds the address and serves in the background. False with strError set
    // when the database or the address cannot be used.
    bool Start(std::string& strError);

    // The port it listens on, once started.
    int GetPort() const { return m_nPort; }

    // Stops serving, ends pending delays, closes the connections kept alive and waits for the worker
    // threads.
    void Stop();

    // Add-activity posts received so far (counted before any delay; answered with any status), and
    // activities stored so far.
    long GetPostCount() const;
    long GetStoredCount() const;
    // True once nCount posts were received; false after the timeout or at a stop.
    bool WaitForPosts(long nCount, std::chrono::milliseconds timeout);
    // Connections accepted so far, and those of them still open.
    long GetConnectionCount() const;
    long GetOpenConnectionCount() const;

  private:
    void AnswerPost(const std::string& strBody, httplib::Response& response);
    std::string BuildReply(const std::vector<pugi::xml_node>& activities,
                           const std::vector<std::string>& verdicts) const;

    SReferenceServerOptions m_options;
    std::unique_ptr<SReferenceServerImpl> m_pImpl;
    std::thread m_listenThread;
    int m_nPort = 0;
    std::atomic<long> m_nPosts{0};
    std::atomic<long> m_nStored{0};
    std::atomic<unsigned long> m_nActivitySequence{0};
    std::mutex m_stopMutex;
    std::condition_variable m_stopSignal;
    bool m_bStopping = false;
};
