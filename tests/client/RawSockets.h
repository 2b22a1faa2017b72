#pragma once

#include "support/TestSockets.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// A TCP connection to 127.0.0.1:nPort that sends nothing; closed with the object.
class CIdleConnection {
  public:
    explicit CIdleConnection(int nPort) : m_nSocket(TestSockets::Connect(nPort)) {}
    ~CIdleConnection() { TestSockets::Close(m_nSocket); }
    CIdleConnection(const CIdleConnection&) = delete;
    CIdleConnection& operator=(const CIdleConnection&) = delete;

    bool IsConnected() const { return m_nSocket != TestSockets::kNoSocket; }

  private:
    TestSockets::Socket m_nSocket;
};

// A port on 127.0.0.1 where nothing listens: one that a listener had and gave up again.
inline int ClosedPort() {
    int nPort = -1;
    TestSockets::Close(TestSockets::Listen(nPort));
    return nPort;
}

// True while this machine has a TCP connection to 127.0.0.1:nPort that the client side still counts
// as established, that is, before the client's kernel has taken note of the server's close. Read from
// /proc/net/tcp: on Linux, and under Wine, whose sockets are Linux ones; false elsewhere.
inline bool HasEstablishedConnectionTo(int nPort) {
    std::ifstream table("/proc/net/tcp");
    std::string strLine;
    std::getline(table, strLine);
    char szRemotePort[8];
    std::snprintf(szRemotePort, sizeof(szRemotePort), ":%04X", static_cast<unsigned>(nPort));
    while (std::getline(table, strLine)) {
        std::istringstream fields(strLine);
        std::string strSlot, strLocal, strRemote, strState;
        fields >> strSlot >> strLocal >> strRemote >> strState;
        if (strRemote.size() > 5 && strRemote.compare(strRemote.size() - 5, 5, szRemotePort) == 0 &&
            strState == "01")
            return true;
    }
    return false;
}

// What a scripted server does with each request it has read whole.
struct SScript {
    int nStatus = 200;
    std::string strBody = "<activities status=\"1\"/>";
    // Header lines after the status line, each ending in CR LF.
    std::string strHeaders;
    // Never answers: holds each connection until the server ends.
    bool bHang = false;
    // Announces a long body, then sends it a byte at a time, one every kStopCheckMs, until the
    // server ends: a server that is slow, not silent.
    bool bTrickle = false;
    // Reads the second request of a connection whole, then closes the connection without an answer,
    // as a server does that acted on a request and lost the connection before it could answer.
    bool bForgetSecond = false;
};

// An HTTP server on 127.0.0.1 that serves each connection on a thread of its own as its script says
// and keeps connections open between requests. Records the body of every request it read whole.
class CScriptedServer {
  public:
    explicit CScriptedServer(SScript script = SScript())
        : m_script(std::move(script)), m_nListener(TestSockets::Listen(m_nPort)) {
        if (m_nListener != TestSockets::kNoSocket)
            m_thread = std::thread([this] { AcceptConnections(); });
    }

    ~CScriptedServer() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStopping = true;
        }
        m_stopping.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        for (std::thread& connection : m_connectionThreads)
            connection.join();
        TestSockets::Close(m_nListener);
    }

    CScriptedServer(const CScriptedServer&) = delete;
    CScriptedServer& operator=(const CScriptedServer&) = delete;

    int Port() const { return m_nPort; }
    std::string Url(const std::string& strPathAndQuery) const {
        return "http://127.0.0.1:" + std::to_string(m_nPort) + strPathAndQuery;
    }

    std::vector<std::string> Bodies() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bodies;
    }

    // Connections accepted so far, and those of them still open.
    int ConnectionCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nConnections;
    }
    int OpenConnectionCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nOpenConnections;
    }

  private:
    // Each wait ends after this long to look at the stop: it bounds how long the server's end takes.
    static constexpr int kStopCheckMs = 20;

    bool IsStopping() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bStopping;
    }

    void AcceptConnections() {
        while (!IsStopping()) {
            if (!TestSockets::WaitReadable(m_nListener, kStopCheckMs))
                continue;
            TestSockets::Socket nConnection = TestSockets::Accept(m_nListener);
            if (nConnection == TestSockets::kNoSocket)
                return;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_nConnections;
                ++m_nOpenConnections;
            }
            m_connectionThreads.emplace_back([this, nConnection] {
                Serve(nConnection);
                TestSockets::Close(nConnection);
                std::lock_guard<std::mutex> lock(m_mutex);
                --m_nOpenConnections;
            });
        }
    }

    void Serve(TestSockets::Socket nConnection) {
        std::string strPending;
        for (int nRequest = 1; ReadRequest(nConnection, strPending); ++nRequest) {
            if (m_script.bHang) {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_stopping.wait(lock, [this] { return m_bStopping; });
                return;
            }
            if (m_script.bForgetSecond && nRequest == 2)
                return;
            if (m_script.bTrickle) {
                Trickle(nConnection);
                return;
            }
            std::string strReply =
                "HTTP/1.1 " + std::to_string(m_script.nStatus) + " Scripted\r\n" + m_script.strHeaders +
                "Content-Length: " + std::to_string(m_script.strBody.size()) + "\r\n\r\n" + m_script.strBody;
            if (!TestSockets::SendAll(nConnection, strReply))
                return;
        }
    }

    void Trickle(TestSockets::Socket nConnection) {
        if (!TestSockets::SendAll(nConnection, "HTTP/1.1 200 Trickling\r\nContent-Length: 100000000\r\n\r\n"))
            return;
        while (!IsStopping() && TestSockets::SendAll(nConnection, "a"))
            std::this_thread::sleep_for(std::chrono::milliseconds(kStopCheckMs));
    }

    // Reads one request with a Content-Length body; false when the connection ended first.
    bool ReadRequest(TestSockets::Socket nConnection, std::string& strPending) {
        size_t nHeaderEnd;
        while ((nHeaderEnd = strPending.find("\r\n\r\n")) == std::string::npos)
            if (!ReadMore(nConnection, strPending))
                return false;
        size_t nLengthAt = strPending.find("Content-Length: ");
        size_t nBodyLength = nLengthAt < nHeaderEnd
                                 ? std::stoul(strPending.substr(nLengthAt + 16, nHeaderEnd - nLengthAt))
                                 : 0;
        size_t nBodyStart = nHeaderEnd + 4;
        while (strPending.size() < nBodyStart + nBodyLength)
            if (!ReadMore(nConnection, strPending))
                return false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bodies.push_back(strPending.substr(nBodyStart, nBodyLength));
        }
        strPending.erase(0, nBodyStart + nBodyLength);
        return true;
    }

    bool ReadMore(TestSockets::Socket nConnection, std::string& strPending) {
        while (!TestSockets::WaitReadable(nConnection, kStopCheckMs))
            if (IsStopping())
                return false;
        char buffer[4096];
        long nRead = TestSockets::Receive(nConnection, buffer, sizeof(buffer));
        if (nRead <= 0)
            return false;
        strPending.append(buffer, static_cast<size_t>(nRead));
        return true;
    }

    SScript m_script;
    int m_nPort = -1;
    TestSockets::Socket m_nListener;
    std::mutex m_mutex;
    std::condition_variable m_stopping;
    bool m_bStopping = false;
    std::vector<std::string> m_bodies;
    int m_nConnections = 0;
    int m_nOpenConnections = 0;
    // Touched by the accepting thread only, until it has ended.
    std::vector<std::thread> m_connectionThreads;
    std::thread m_thread;
};
