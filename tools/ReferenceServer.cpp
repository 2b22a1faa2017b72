#include "ReferenceServer.h"

#include "StrictXml.h"

#include <httplib.h>
#include <pugixml.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

const char* const kAddActivityPath = "/KlendoWebServices/KlendoWebServicesExt.dll";
const char* const kAddActivityQuery = "AddKlendoActivity";
constexpr size_t kMaxPostBytes = 16 * 1024 * 1024;
constexpr int kDefaultListLimit = 1000;
constexpr int kMaxListLimit = 100000;
constexpr int kHtmlRows = 200;

const char* const kSchema = "CREATE TABLE IF NOT EXISTS activities ("
                            " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                            " received TEXT NOT NULL,"
                            " id TEXT, type TEXT, status TEXT, source TEXT,"
                            " username TEXT, document TEXT, device TEXT, datetime TEXT,"
                            " pages TEXT, copies TEXT,"
                            " verdict TEXT,"
                            " attributes TEXT NOT NULL,"
                            " xml TEXT NOT NULL)";
const char* const kInsert = "INSERT INTO activities (received, id, type, status, source, username, document,"
                            " device, datetime, pages, copies, verdict, attributes, xml)"
                            " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
const char* const kSelect = "SELECT seq, received, id, type, status, source, username, document, device,"
                            " datetime, pages, copies, verdict, attributes, xml FROM activities"
                            " WHERE seq > ? ORDER BY seq LIMIT ?";
const char* const kSelectLatest = "SELECT seq, received, id, type, username, document, device, pages, copies,"
                                  " verdict FROM activities ORDER BY seq DESC LIMIT ?";

std::string JsonString(const std::string& strText) {
    std::string strJson = "\"";
    for (unsigned char c : strText) {
        if (c == '"' || c == '\\') {
            strJson += '\\';
            strJson += static_cast<char>(c);
        } else if (c < 0x20) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", c);
            strJson += szEscape;
        } else {
            strJson += static_cast<char>(c);
        }
    }
    return strJson + "\"";
}

std::string HtmlText(const std::string& strText) {
    std::string strHtml;
    for (char c : strText) {
        switch (c) {
        case '&':
            strHtml += "&amp;";
            break;
        case '<':
            strHtml += "&lt;";
            break;
        case '>':
            strHtml += "&gt;";
            break;
        case '"':
            strHtml += "&quot;";
            break;
        case '\'':
            strHtml += "&#39;";
            break;
        default:
            strHtml += c;
        }
    }
    return strHtml;
}

std::string AttributesJson(pugi::xml_node node) {
    std::string strJson = "{";
    for (pugi::xml_attribute attribute : node.attributes()) {
        if (strJson.size() > 1)
            strJson += ",";
        strJson += JsonString(attribute.name()) + ":" + JsonString(attribute.value());
    }
    return strJson + "}";
}

// Every attribute of the activity and of its document, billing and custom fields, as one JSON object.
std::string ActivityJson(pugi::xml_node activity) {
    pugi::xml_node billing = activity.child("billing");
    std::string strFields = "[";
    for (pugi::xml_node field : billing.child("customfields").children("field"))
        strFields += (strFields.size() > 1 ? "," : "") + AttributesJson(field);
    return "{\"activity\":" + AttributesJson(activity) +
           ",\"document\":" + AttributesJson(activity.child("document")) +
           ",\"billing\":" + AttributesJson(billing) + ",\"customfields\":" + strFields + "]}";
}

std::string NodeXml(pugi::xml_node node) {
    std::ostringstream stream;
    node.print(stream, "", pugi::format_raw);
    return stream.str();
}

std::string NowText() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long nMilliseconds = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char szText[64];
    size_t nLength = std::strftime(szText, sizeof(szText), "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(szText + nLength, sizeof(szText) - nLength, ".%03ld", nMilliseconds);
    return szText;
}

std::string ColumnText(sqlite3_stmt* pStatement, int nColumn) {
    const unsigned char* szText = sqlite3_column_text(pStatement, nColumn);
    return szText != nullptr ? reinterpret_cast<const char*>(szText) : "";
}

struct SStatementDeleter {
    void operator()(sqlite3_stmt* pStatement) const { sqlite3_finalize(pStatement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, SStatementDeleter>;

// httplib hands every accepted connection to its task queue as one task that serves the connection
// until it closes; counting the tasks counts the connections.
class CConnectionCountingQueue : public httplib::TaskQueue {
  public:
    CConnectionCountingQueue(size_t nThreads, std::atomic<long>& nAccepted, std::atomic<long>& nOpen)
        : m_workers(nThreads), m_nAccepted(nAccepted), m_nOpen(nOpen) {}

    void enqueue(std::function<void()> serveConnection) override {
        ++m_nAccepted;
        ++m_nOpen;
        m_workers.enqueue([this, serveConnection = std::move(serveConnection)] {
            serveConnection();
            --m_nOpen;
        });
    }

    void shutdown() override { m_workers.shutdown(); }

  private:
    httplib::ThreadPool m_workers;
    std::atomic<long>& m_nAccepted;
    std::atomic<long>& m_nOpen;
};

int LocalPort(int nSocket) {
    sockaddr_storage address{};
    socklen_t nLength = sizeof(address);
    if (::getsockname(nSocket, reinterpret_cast<sockaddr*>(&address), &nLength) != 0)
        return -1;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return -1;
}

bool IsConnected(int nSocket) {
    sockaddr_storage address{};
    socklen_t nLength = sizeof(address);
    return ::getpeername(nSocket, reinterpret_cast<sockaddr*>(&address), &nLength) == 0;
}

// httplib gives no handle on the connections it serves, and a worker waiting on an idle kept-alive
// connection looks at nothing but that connection until its keep-alive time runs out. Ending the
// read side of every connection accepted on the port lets each worker see the end at once and close
// it, while an answer still being written goes out.
void EndReadingConnections(int nPort) {
    DIR* pFolder = ::opendir("/proc/self/fd");
    if (pFolder == nullptr)
        return;
    while (dirent* pEntry = ::readdir(pFolder)) {
        int nSocket = std::atoi(pEntry->d_name);
        if (nSocket != ::dirfd(pFolder) && LocalPort(nSocket) == nPort && IsConnected(nSocket))
            ::shutdown(nSocket, SHUT_RD);
    }
    ::closedir(pFolder);
}

} // namespace

struct SReferenceServerImpl {
    httplib::Server server;
    std::atomic<long> nConnections{0};
    std::atomic<long> nOpenConnections{0};
    sqlite3* pDatabase = nullptr;
    StatementPtr pInsert;
    std::mutex databaseMutex;

    ~SReferenceServerImpl() {
        pInsert.reset();
        if (pDatabase != nullptr)
            sqlite3_close(pDatabase);
    }

    bool Execute(const char* szSql) {
        return sqlite3_exec(pDatabase, szSql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    bool OpenDatabase(const std::string& strPath, std::string& strError) {
        if (sqlite3_open_v2(strPath.c_str(), &pDatabase, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK ||
            !Execute("PRAGMA journal_mode=WAL") || !Execute("PRAGMA synchronous=NORMAL") ||
            sqlite3_busy_timeout(pDatabase, 5000) != SQLITE_OK || !Execute(kSchema)) {
            strError = "cannot use the database " + strPath + ": " +
                       (pDatabase != nullptr ? sqlite3_errmsg(pDatabase) : "out of memory");
            return false;
        }
        sqlite3_stmt* pStatement = nullptr;
        if (sqlite3_prepare_v2(pDatabase, kInsert, -1, &pStatement, nullptr) != SQLITE_OK) {
            strError = std::string("cannot prepare the insert: ") + sqlite3_errmsg(pDatabase);
            return false;
        }
        pInsert.reset(pStatement);
        return true;
    }

    // Stores one post's activities in one transaction; false when the database refused it.
    bool Store(const std::vector<pugi::xml_node>& activities, const std::vector<std::string>& verdicts) {
        std::lock_guard<std::mutex> lock(databaseMutex);
        if (!Execute("BEGIN"))
            return false;
        std::string strReceived = NowText();
        for (size_t i = 0; i < activities.size(); ++i) {
            if (!Insert(strReceived, activities[i], verdicts[i])) {
                Execute("ROLLBACK");
                return false;
            }
        }
        if (Execute("COMMIT"))
            return true;
        Execute("ROLLBACK");
        return false;
    }

    bool Insert(const std::string& strReceived, pugi::xml_node activity, const std::string& strVerdict) {
        pugi::xml_node document = activity.child("document");
        std::string values[] = {strReceived,
                                activity.attribute("id").value(),
                                activity.attribute("type").value(),
                                activity.attribute("status").value(),
                                activity.attribute("source").value(),
                                document.attribute("username").value(),
                                document.attribute("name").value(),
                                document.attribute("device").value(),
                                document.attribute("datetime").value(),
                                document.attribute("pages").value(),
                                document.attribute("copies").value(),
                                strVerdict,
                                ActivityJson(activity),
                                NodeXml(activity)};
        sqlite3_stmt* pStatement = pInsert.get();
        sqlite3_reset(pStatement);
        for (int i = 0; i < static_cast<int>(std::size(values)); ++i)
            sqlite3_bind_text(pStatement, i + 1, values[i].c_str(), static_cast<int>(values[i].size()),
                              SQLITE_TRANSIENT);
        bool bDone = sqlite3_step(pStatement) == SQLITE_DONE;
        sqlite3_reset(pStatement);
        return bDone;
    }

    std::string ListJson(long long nAfter, int nLimit) {
        std::lock_guard<std::mutex> lock(databaseMutex);
        sqlite3_stmt* pRaw = nullptr;
        if (sqlite3_prepare_v2(pDatabase, kSelect, -1, &pRaw, nullptr) != SQLITE_OK)
            return "[]";
        StatementPtr pStatement(pRaw);
        sqlite3_bind_int64(pRaw, 1, nAfter);
        sqlite3_bind_int(pRaw, 2, nLimit);
        const char* names[] = {"received", "id",     "type",     "status", "source", "username",
                               "document", "device", "datetime", "pages",  "copies", "verdict"};
        std::string strJson = "[";
        while (sqlite3_step(pRaw) == SQLITE_ROW) {
            strJson += (strJson.size() > 1 ? ",{" : "{");
            strJson += "\"seq\":" + std::to_string(sqlite3_column_int64(pRaw, 0));
            for (int i = 0; i < static_cast<int>(std::size(names)); ++i)
                strJson += std::string(",\"") + names[i] + "\":" + JsonString(ColumnText(pRaw, i + 1));
            strJson += ",\"attributes\":" + ColumnText(pRaw, 13) +
                       ",\"xml\":" + JsonString(ColumnText(pRaw, 14)) + "}";
        }
        return strJson + "]";
    }

    std::string HtmlTable() {
        std::lock_guard<std::mutex> lock(databaseMutex);
        std::string strHtml =
            "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>KlendoReferenceServer</title>"
            "</head><body><h1>Activities received</h1><table border=\"1\"><tr><th>#</th>"
            "<th>Received</th><th>Id</th><th>Type</th><th>User</th><th>Document</th>"
            "<th>Device</th><th>Pages</th><th>Copies</th><th>Verdict</th></tr>";
        sqlite3_stmt* pRaw = nullptr;
        if (sqlite3_prepare_v2(pDatabase, kSelectLatest, -1, &pRaw, nullptr) == SQLITE_OK) {
            StatementPtr pStatement(pRaw);
            sqlite3_bind_int(pRaw, 1, kHtmlRows);
            while (sqlite3_step(pRaw) == SQLITE_ROW) {
                strHtml += "<tr>";
                for (int i = 0; i < 10; ++i)
                    strHtml += "<td>" + HtmlText(ColumnText(pRaw, i)) + "</td>";
                strHtml += "</tr>";
            }
        }
        return strHtml + "</table></body></html>";
    }
};

CReferenceServer::CReferenceServer(SReferenceServerOptions options)
    : m_options(std::move(options)), m_pImpl(std::make_unique<SReferenceServerImpl>()) {
    if (m_options.activityStatuses.empty())
        m_options.activityStatuses.push_back("1");
}

void ListenAlone(httplib::Server& server) {
    server.set_socket_options([](socket_t nSocket) {
        int nYes = 1;
        // A port left in TIME_WAIT by an earlier run may still be taken at once.
        ::setsockopt(nSocket, SOL_SOCKET, SO_REUSEADDR, &nYes, sizeof(nYes));
    });
}

CReferenceServer::~CReferenceServer() {
    Stop();
}

bool CReferenceServer::Start(std::string& strError) {
    if (!m_pImpl->OpenDatabase(m_options.strDatabase, strError))
        return false;
    httplib::Server& server = m_pImpl->server;
    size_t nThreads = static_cast<size_t>(std::max(m_options.nThreads, 1));
    SReferenceServerImpl* pImpl = m_pImpl.get();
    server.new_task_queue = [nThreads, pImpl] {
        return new CConnectionCountingQueue(nThreads, pImpl->nConnections, pImpl->nOpenConnections);
    };
    // An idle kept-alive connection holds a worker until it times out: a short time-out frees the
    // workers of clients that went quiet, while a client posting in a burst keeps its connections.
    server.set_keep_alive_timeout(std::max(m_options.nKeepAliveSeconds, 1));
    server.set_keep_alive_max_count(static_cast<size_t>(std::max(m_options.nKeepAliveRequests, 1)));
    // httplib writes an answer's headers and body apart; on a connection kept open, Nagle's algorithm
    // would hold the body back until the client's delayed acknowledgement of the headers.
    server.set_tcp_nodelay(true);
    ListenAlone(server);
    server.set_payload_max_length(kMaxPostBytes);
    server.Post(kAddActivityPath, [this](const httplib::Request& request, httplib::Response& response) {
        if (!request.has_param(kAddActivityQuery)) {
            response.status = 404;
            return;
        }
        AnswerPost(request.body, response);
    });
    server.Get("/activities", [this](const httplib::Request& request, httplib::Response& response) {
        long long nAfter =
            request.has_param("after") ? std::atoll(request.get_param_value("after").c_str()) : 0;
        int nLimit = request.has_param("limit") ? std::atoi(request.get_param_value("limit").c_str())
                                                : kDefaultListLimit;
        nLimit = nLimit < 1 ? 1 : (nLimit > kMaxListLimit ? kMaxListLimit : nLimit);
        response.set_content(m_pImpl->ListJson(nAfter, nLimit), "application/json");
    });
    server.Get("/", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(m_pImpl->HtmlTable(), "text/html; charset=utf-8");
    });
    if (m_options.nPort == 0) {
        m_nPort = server.bind_to_any_port(m_options.strAddress);
    } else if (server.bind_to_port(m_options.strAddress, m_options.nPort)) {
        m_nPort = m_options.nPort;
    } else {
        m_nPort = -1;
    }
    if (m_nPort <= 0) {
        strError = "cannot listen on " + m_options.strAddress + ":" + std::to_string(m_options.nPort);
        return false;
    }
    m_listenThread = std::thread([this] { m_pImpl->server.listen_after_bind(); });
    // httplib's stop() does nothing until its accept loop runs, so a Stop right after Start would
    // leave that loop running for ever; Start returns only once the loop is up.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server.is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!server.is_running()) {
        strError = "the server did not start serving";
        return false;
    }
    return true;
}

void CReferenceServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_bStopping = true;
    }
    m_stopSignal.notify_all();
    m_pImpl->server.stop();
    if (m_listenThread.joinable()) {
        EndReadingConnections(m_nPort);
        m_listenThread.join();
    }
}

long CReferenceServer::GetPostCount() const {
    return m_nPosts;
}

long CReferenceServer::GetStoredCount() const {
    return m_nStored;
}

long CReferenceServer::GetConnectionCount() const {
    return m_pImpl->nConnections;
}

long CReferenceServer::GetOpenConnectionCount() const {
    return m_pImpl->nOpenConnections;
}

bool CReferenceServer::WaitForPosts(long nCount, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_stopMutex);
    m_stopSignal.wait_for(lock, timeout, [&] { return m_bStopping || m_nPosts >= nCount; });
    return m_nPosts >= nCount;
}

void CReferenceServer::AnswerPost(const std::string& strBody, httplib::Response& response) {
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        ++m_nPosts;
    }
    m_stopSignal.notify_all();
    if (m_options.nDelayMs > 0) {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        m_stopSignal.wait_for(lock, std::chrono::milliseconds(m_options.nDelayMs),
                              [this] { return m_bStopping; });
    }
    int nRefusal = m_options.nHttpStatus != 200 ? m_options.nHttpStatus
                   : m_options.nMaxBodyBytes > 0 && strBody.size() > m_options.nMaxBodyBytes ? 413
                                                                                             : 200;
    if (nRefusal != 200) {
        response.status = nRefusal;
        response.set_content(
            "<html><body><h1>Error " + std::to_string(nRefusal) +
                "</h1><p>KlendoReferenceServer was told to fail this request.</p></body></html>",
            "text/html");
        return;
    }
    pugi::xml_document request;
    pugi::xml_node root;
    bool bReadable = !m_options.bStrictXml || IsStrictlyWellFormedXml(strBody);
    if (bReadable &&
        request.load_buffer(strBody.data(), strBody.size(), pugi::parse_default, pugi::encoding_utf8))
        root = request.document_element();
    if (!root) {
        response.status = 400;
        response.set_content("<activities status=\"0\"/>", "text/xml");
        return;
    }
    std::vector<pugi::xml_node> activities;
    std::vector<std::string> verdicts;
    for (pugi::xml_node activity : root.children("activity")) {
        activities.push_back(activity);
        unsigned long nIndex = m_nActivitySequence++ % m_options.activityStatuses.size();
        verdicts.push_back(m_options.activityStatuses[nIndex]);
    }
    if (!m_pImpl->Store(activities, verdicts)) {
        response.status = 500;
        response.set_content("<activities status=\"0\"/>", "text/xml");
        return;
    }
    m_nStored += static_cast<long>(activities.size());
    response.set_content(m_options.strReplyBody.empty() ? BuildReply(activities, verdicts)
                                                        : m_options.strReplyBody,
                         "text/xml");
}

std::string CReferenceServer::BuildReply(const std::vector<pugi::xml_node>& activities,
                                         const std::vector<std::string>& verdicts) const {
    pugi::xml_document reply;
    pugi::xml_node root = reply.append_child("activities");
    if (!m_options.bOmitStatus)
        root.append_attribute("status").set_value(m_options.strStatus.c_str());
    if (!m_options.bOmitActivities) {
        for (size_t i = 0; i < activities.size(); ++i) {
            pugi::xml_node activity = root.append_child("activity");
            activity.append_attribute("id").set_value(activities[i].attribute("id").value());
            activity.append_attribute("status").set_value(verdicts[i].c_str());
        }
    }
    std::ostringstream stream;
    reply.save(stream, "", pugi::format_raw | pugi::format_no_declaration);
    return stream.str();
}
