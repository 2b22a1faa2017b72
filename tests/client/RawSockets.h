#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// A TCP connection to 127.0.0.1:nPort that sends nothing; closed with the object.
class CIdleConnection {
  public:
    explicit CIdleConnection(int nPort) : m_nSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = LoopbackAddress(nPort);
        m_bConnected = m_nSocket >= 0 &&
                       ::connect(m_nSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~CIdleConnection() {
        if (m_nSocket >= 0)
            ::close(m_nSocket);
    }
    CIdleConnection(const CIdleConnection&) = delete;
    CIdleConnection& operator=(const CIdleConnection&) = delete;

    bool IsConnected() const { return m_bConnected; }

    static sockaddr_in LoopbackAddress(int nPort) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(nPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

  private:
    int m_nSocket;
    bool m_bConnected = false;
};

// True while this machine has a TCP connection to 127.0.0.1:nPort that the client side still counts
// as established, that is, before the client's kernel has taken note of the server's close.
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

// An HTTP server on 127.0.0.1 that serves one connection at a time: it answers the first request of
// each connection and keeps the connection; the second it reads whole, then closes the connection
// without an answer, as a server does that acted on a request and lost the connection before it
// could answer. Records the body of every request it read whole.
class CForgetfulServer {
  public:
    CForgetfulServer() : m_nListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = CIdleConnection::LoopbackAddress(0);
        socklen_t nLength = sizeof(address);
        if (m_nListener < 0 ||
            ::bind(m_nListener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(m_nListener, 16) != 0 ||
            ::getsockname(m_nListener, reinterpret_cast<sockaddr*>(&address), &nLength) != 0)
            return;
        m_nPort = ntohs(address.sin_port);
        m_thread = std::thread([this] { AcceptConnections(); });
    }

    ~CForgetfulServer() {
        m_bStopping = true;
        ::shutdown(m_nListener, SHUT_RDWR);
        int nConnection = m_nConnection.load();
        if (nConnection >= 0)
            ::shutdown(nConnection, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_nListener);
    }

    CForgetfulServer(const CForgetfulServer&) = delete;
    CForgetfulServer& operator=(const CForgetfulServer&) = delete;

    int Port() const { return m_nPort; }

    std::vector<std::string> Bodies() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bodies;
    }

  private:
    void AcceptConnections() {
        while (!m_bStopping) {
            int nConnection = ::accept4(m_nListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (nConnection < 0)
                return;
            m_nConnection = nConnection;
            Serve(nConnection);
            m_nConnection = -1;
            ::close(nConnection);
        }
    }

    void Serve(int nConnection) {
        std::string strPending;
        for (int nRequest = 1; nRequest <= 2 && ReadRequest(nConnection, strPending); ++nRequest) {
            if (nRequest == 2)
                return;
            const std::string strReply =
                "HTTP/1.1 200 OK\r\nContent-Length: 24\r\n\r\n<activities status=\"1\"/>";
            if (::send(nConnection, strReply.data(), strReply.size(), MSG_NOSIGNAL) < 0)
                return;
        }
    }

    // Reads one request with a Content-Length body; false when the connection ended first.
    bool ReadRequest(int nConnection, std::string& strPending) {
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

    static bool ReadMore(int nConnection, std::string& strPending) {
        char buffer[4096];
        ssize_t nRead = ::recv(nConnection, buffer, sizeof(buffer), 0);
        if (nRead <= 0)
            return false;
        strPending.append(buffer, static_cast<size_t>(nRead));
        return true;
    }

    int m_nListener;
    int m_nPort = -1;
    std::atomic<int> m_nConnection{-1};
    std::atomic<bool> m_bStopping{false};
    std::mutex m_mutex;
    std::vector<std::string> m_bodies;
    std::thread m_thread;
};
