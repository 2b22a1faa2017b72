// The reference server for the Windows tests: each server runs in KlendoReferenceServerHost on the
// Linux side of the machine (the port in KLENDO_REFERENCE_SERVER_HOST), which this drives over
// HTTP on a connection of its own, so that the agent's shared connections never carry it. A test
// whose host is gone cannot go on: that ends the test program.
#include "ReferenceServer.h"

#include "Include/StringUtil.h"
#include "support/TestSockets.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

struct SReferenceServerImpl {
    int nId = -1;
    // Posts, stored activities, connections and open connections, as the host last reported them;
    // what a stopped server keeps answering.
    long counts[4] = {0, 0, 0, 0};
};

namespace {

// The longest a host's answer may take beyond the wait it was asked for.
constexpr int kAnswerMs = 30000;

// The Linux name of a Windows path under Wine, so that a server's database lies where the test put
// it; empty where there is no such name.
std::string UnixFileName(const std::string& strPath) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    // Through void (*)(): what GetProcAddress gives is typed as no function in particular.
    auto pUnixName = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    int nLength = ::MultiByteToWideChar(CP_UTF8, 0, strPath.c_str(), -1, nullptr, 0);
    if (pUnixName == nullptr || nLength <= 0)
        return std::string();
    std::wstring strWide(static_cast<size_t>(nLength), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, strPath.c_str(), -1, &strWide[0], nLength);
    char* szUnix = pUnixName(strWide.c_str());
    if (szUnix == nullptr)
        return std::string();
    std::string strUnix = szUnix;
    ::HeapFree(::GetProcessHeap(), 0, szUnix);
    return strUnix;
}

// The database as the host must name it; empty when it has no name there.
std::string Database(const std::string& strDatabase) {
    return strDatabase == ":memory:" ? strDatabase : UnixFileName(strDatabase);
}

// One request to the host: true with its status and body, false with strError when none came.
bool AskHost(const std::string& strMethod, const std::string& strTarget, const std::string& strRequestBody,
             int nWaitMs, int& nStatus, std::string& strBody, std::string& strError) {
    const char* szPort = std::getenv("KLENDO_REFERENCE_SERVER_HOST");
    if (szPort == nullptr) {
        strError =
            "KLENDO_REFERENCE_SERVER_HOST is not set: run the Windows tests with scripts/test-windows, "
            "which starts KlendoReferenceServerHost";
        return false;
    }
    TestSockets::Socket nSocket = TestSockets::Connect(std::atoi(szPort));
    if (nSocket == TestSockets::kNoSocket) {
        strError = std::string("no KlendoReferenceServerHost on port ") + szPort;
        return false;
    }
    std::string strAnswer;
    bool bSent = TestSockets::SendAll(
        nSocket, strMethod + " " + strTarget + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                     "Content-Type: application/octet-stream\r\nContent-Length: " +
                     std::to_string(strRequestBody.size()) + "\r\n\r\n" + strRequestBody);
    char buffer[4096];
    long nRead = 0;
    while (bSent && TestSockets::WaitReadable(nSocket, nWaitMs + kAnswerMs) &&
           (nRead = TestSockets::Receive(nSocket, buffer, sizeof(buffer))) > 0)
        strAnswer.append(buffer, static_cast<size_t>(nRead));
    TestSockets::Close(nSocket);
    size_t nBodyStart = strAnswer.find("\r\n\r\n");
    // "HTTP/1.1 200 OK": the status follows the first blank.
    size_t nBlank = strAnswer.find(' ');
    if (nRead != 0 || strAnswer.compare(0, 5, "HTTP/") != 0 || nBodyStart == std::string::npos ||
        nBlank > nBodyStart) {
        strError = "no answer from KlendoReferenceServerHost to " + strMethod + " " + strTarget;
        return false;
    }
    nStatus = std::atoi(strAnswer.c_str() + nBlank);
    strBody = strAnswer.substr(nBodyStart + 4);
    return true;
}

// The host's answer to a request that must succeed; a failure ends the test program, as a server
// gone mid-test leaves nothing to measure.
std::string AskHostOrDie(const std::string& strMethod, const std::string& strTarget, int nWaitMs = 0) {
    int nStatus = 0;
    std::string strBody, strError;
    if (!AskHost(strMethod, strTarget, "", nWaitMs, nStatus, strBody, strError) || nStatus != 200) {
        std::fprintf(stderr, "reference server host: %s%s\n", strError.c_str(), strBody.c_str());
        std::abort();
    }
    return strBody;
}

std::string ServerPath(int nId) {
    return "/servers/" + std::to_string(nId);
}

void KeepCounts(SReferenceServerImpl& server, const std::string& strCounts) {
    std::sscanf(strCounts.c_str(), "%ld %ld %ld %ld", &server.counts[0], &server.counts[1], &server.counts[2],
                &server.counts[3]);
}

// The counts the host reports for a server (the last ones known once it is stopped).
long Count(SReferenceServerImpl& server, int nField) {
    if (server.nId >= 0)
        KeepCounts(server, AskHostOrDie("GET", ServerPath(server.nId)));
    return server.counts[nField];
}

} // namespace

CReferenceServer::CReferenceServer(SReferenceServerOptions options)
    : m_options(std::move(options)), m_pImpl(std::make_unique<SReferenceServerImpl>()) {}

CReferenceServer::~CReferenceServer() {
    Stop();
}

bool CReferenceServer::Start(std::string& strError) {
    SReferenceServerOptions options = m_options;
    options.strDatabase = Database(options.strDatabase);
    if (options.strDatabase.empty()) {
        strError = "the database " + m_options.strDatabase + " has no name on the host's side";
        return false;
    }
    std::string strFields;
    for (const auto& option : DescribeReferenceServerOptions(options))
        strFields += EscapeBytes(option.first, kReferenceServerOptionSeparators) + "=" +
                     EscapeBytes(option.second, kReferenceServerOptionSeparators) + "&";
    int nStatus = 0;
    std::string strBody;
    if (!AskHost("POST", "/servers", strFields, 0, nStatus, strBody, strError))
        return false;
    if (nStatus != 200 || std::sscanf(strBody.c_str(), "%d %d", &m_pImpl->nId, &m_nPort) != 2) {
        strError = strBody.empty() ? "the host could not start a server" : strBody;
        m_pImpl->nId = -1;
        return false;
    }
    return true;
}

void CReferenceServer::Stop() {
    if (m_pImpl->nId < 0)
        return;
    KeepCounts(*m_pImpl, AskHostOrDie("POST", ServerPath(m_pImpl->nId) + "/stop"));
    m_pImpl->nId = -1;
}

long CReferenceServer::GetPostCount() const {
    return Count(*m_pImpl, 0);
}

long CReferenceServer::GetStoredCount() const {
    return Count(*m_pImpl, 1);
}

long CReferenceServer::GetConnectionCount() const {
    return Count(*m_pImpl, 2);
}

long CReferenceServer::GetOpenConnectionCount() const {
    return Count(*m_pImpl, 3);
}

bool CReferenceServer::WaitForPosts(long nCount, std::chrono::milliseconds timeout) {
    if (m_pImpl->nId < 0)
        return false;
    // The host waits at most ten minutes; a longer wait asked for is as good as that.
    int nWaitMs = static_cast<int>(std::min<long long>(std::max<long long>(timeout.count(), 0), 600000));
    return AskHostOrDie("GET",
                        ServerPath(m_pImpl->nId) + "/wait?posts=" + std::to_string(nCount) +
                            "&ms=" + std::to_string(nWaitMs),
                        nWaitMs) == "1";
}
