// KlendoReferenceServerHost: starts and stops reference servers on request, for test programs that
// cannot run the server themselves (the Windows tests under Wine, whose servers run on the Linux side
// of the same machine). Listens on 127.0.0.1 only.
//
//   POST /servers                    starts a server on 127.0.0.1 with the options of the body
//                                    -> "ID PORT" (NAME=VALUE&..., escaped with EscapeBytes for
//                                    kReferenceServerOptionSeparators; no form, which httplib caps
//                                    at 8 KB)
//   GET  /servers/ID                 -> "POSTS STORED CONNECTIONS OPEN-CONNECTIONS"
//   GET  /servers/ID/wait?posts=N&ms=T  waits for N posts -> "1" or "0"
//   POST /servers/ID/stop            stops the server and forgets it -> its counts, as above
#include "ReferenceServer.h"

#include "Include/StringUtil.h"

#include <httplib.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

volatile std::sig_atomic_t g_bStopRequested = 0;

void OnStopSignal(int) {
    g_bStopRequested = 1;
}

// The longest wait one request may ask for.
constexpr long kMaxWaitMs = 10 * 60 * 1000;
// Servers running at once: far above what the tests keep, well below what would exhaust the machine.
constexpr size_t kMaxServers = 256;

class CServerTable {
  public:
    // The id of a new started server and its port, or -1 with strError set.
    int Start(const SReferenceServerOptions& options, int& nPort, std::string& strError) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_servers.size() >= kMaxServers) {
                strError = "too many servers";
                return -1;
            }
        }
        auto pServer = std::make_shared<CReferenceServer>(options);
        if (!pServer->Start(strError))
            return -1;
        nPort = pServer->GetPort();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_servers[++m_nLastId] = pServer;
        return m_nLastId;
    }

    // Stops every server, which ends the waits on them.
    void StopAll() {
        std::map<int, std::shared_ptr<CReferenceServer>> servers;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            servers.swap(m_servers);
        }
        for (auto& server : servers)
            server.second->Stop();
    }

    std::shared_ptr<CReferenceServer> Find(int nId) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_servers.find(nId);
        return found == m_servers.end() ? nullptr : found->second;
    }

    std::shared_ptr<CReferenceServer> Remove(int nId) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_servers.find(nId);
        if (found == m_servers.end())
            return nullptr;
        std::shared_ptr<CReferenceServer> pServer = found->second;
        m_servers.erase(found);
        return pServer;
    }

  private:
    std::mutex m_mutex;
    std::map<int, std::shared_ptr<CReferenceServer>> m_servers;
    int m_nLastId = 0;
};

// The NAME=VALUE pairs of the start request's body, in order; false for a damaged one.
bool OptionFields(const std::string& strBody, std::vector<std::pair<std::string, std::string>>& fields) {
    size_t nStart = 0;
    while (nStart < strBody.size()) {
        size_t nEnd = strBody.find('&', nStart);
        if (nEnd == std::string::npos)
            nEnd = strBody.size();
        std::string strField = strBody.substr(nStart, nEnd - nStart);
        size_t nEquals = strField.find('=');
        std::string strName, strValue;
        if (nEquals == std::string::npos ||
            !UnescapeBytes(strField.substr(0, nEquals), kReferenceServerOptionSeparators, strName) ||
            !UnescapeBytes(strField.substr(nEquals + 1), kReferenceServerOptionSeparators, strValue))
            return false;
        fields.emplace_back(strName, strValue);
        nStart = nEnd + 1;
    }
    return true;
}

void Answer(httplib::Response& response, int nStatus, const std::string& strText) {
    response.status = nStatus;
    response.set_content(strText, "text/plain");
}

void AnswerStart(CServerTable& table, const httplib::Request& request, httplib::Response& response) {
    SReferenceServerOptions options;
    std::string strError;
    std::vector<std::pair<std::string, std::string>> fields;
    if (!OptionFields(request.body, fields))
        return Answer(response, 400, "damaged options");
    for (const auto& param : fields) {
        if (!SetReferenceServerOption(options, param.first, param.second, strError))
            return Answer(response, 400, strError);
    }
    if (options.strAddress != "127.0.0.1")
        return Answer(response, 400, "servers listen on 127.0.0.1 only");
    int nPort = 0;
    int nId = table.Start(options, nPort, strError);
    if (nId < 0)
        return Answer(response, 500, strError);
    Answer(response, 200, std::to_string(nId) + " " + std::to_string(nPort));
}

void AnswerCounts(CReferenceServer& server, httplib::Response& response) {
    Answer(response, 200,
           std::to_string(server.GetPostCount()) + " " + std::to_string(server.GetStoredCount()) + " " +
               std::to_string(server.GetConnectionCount()) + " " +
               std::to_string(server.GetOpenConnectionCount()));
}

void AnswerWait(CReferenceServer& server, const httplib::Request& request, httplib::Response& response) {
    long nPosts = std::strtol(request.get_param_value("posts").c_str(), nullptr, 10);
    long nMs = std::strtol(request.get_param_value("ms").c_str(), nullptr, 10);
    nMs = nMs < 0 ? 0 : (nMs > kMaxWaitMs ? kMaxWaitMs : nMs);
    Answer(response, 200, server.WaitForPosts(nPosts, std::chrono::milliseconds(nMs)) ? "1" : "0");
}

// The server id of a request's path; -1 for one no server can have.
int ServerId(const httplib::Request& request) {
    std::string strId = request.matches[1].str();
    return strId.size() > 9 ? -1 : std::atoi(strId.c_str());
}

void Route(httplib::Server& host, CServerTable& table) {
    host.Post("/servers", [&table](const httplib::Request& request, httplib::Response& response) {
        AnswerStart(table, request, response);
    });
    host.Get(R"(/servers/(\d+))", [&table](const httplib::Request& request, httplib::Response& response) {
        std::shared_ptr<CReferenceServer> pServer = table.Find(ServerId(request));
        return pServer ? AnswerCounts(*pServer, response) : Answer(response, 404, "no such server");
    });
    host.Get(R"(/servers/(\d+)/wait)", [&table](const httplib::Request& request,
                                                httplib::Response& response) {
        std::shared_ptr<CReferenceServer> pServer = table.Find(ServerId(request));
        return pServer ? AnswerWait(*pServer, request, response) : Answer(response, 404, "no such server");
    });
    host.Post(R"(/servers/(\d+)/stop)",
              [&table](const httplib::Request& request, httplib::Response& response) {
                  std::shared_ptr<CReferenceServer> pServer = table.Remove(ServerId(request));
                  if (!pServer)
                      return Answer(response, 404, "no such server");
                  pServer->Stop();
                  AnswerCounts(*pServer, response);
              });
}

} // namespace

int main(int argc, char** argv) {
    int nPort = argc > 1 ? std::atoi(argv[1]) : 0;
    if (argc > 2 || nPort < 0 || nPort > 65535) {
        std::cerr << "Usage: KlendoReferenceServerHost [PORT]\n";
        return 2;
    }
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    CServerTable table;
    httplib::Server host;
    // Each test program waits on a request of its own; a few dozen run at once at most.
    host.new_task_queue = [] { return new httplib::ThreadPool(32); };
    Route(host, table);
    ListenAlone(host);
    int nBound = nPort == 0 ? host.bind_to_any_port("127.0.0.1")
                            : (host.bind_to_port("127.0.0.1", nPort) ? nPort : -1);
    if (nBound <= 0) {
        std::cerr << "KlendoReferenceServerHost: cannot listen on 127.0.0.1:" << nPort << "\n";
        return 1;
    }
    std::thread listener([&host] { host.listen_after_bind(); });
    std::cout << "KlendoReferenceServerHost listening on 127.0.0.1:" << nBound << std::endl;
    while (!g_bStopRequested)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    table.StopAll();
    host.stop();
    listener.join();
    return 0;
}
