#include "client/HttpRequest.h"
#include "client/RawSockets.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const char* const kAddActivity = "/KlendoWebServices/KlendoWebServicesExt.dll?AddKlendoActivity";
const char* const kOneActivity = "<activities><activity id=\"x\"/></activities>";

SScript ReplyingWith(const std::string& strBody) {
    SScript script;
    script.strBody = strBody;
    return script;
}

// A connect that a loaded machine still makes, an exchange that a hung server cannot finish.
CHttpSettings ShortTimeouts() {
    CHttpSettings settings;
    settings.connectTimeout = std::chrono::milliseconds(1000);
    settings.totalTimeout = std::chrono::milliseconds(300);
    return settings;
}

// Connections are kept however slowly a loaded machine runs the test.
CHttpSettings KeptConnections() {
    CHttpSettings settings;
    settings.maxConnectionIdle = std::chrono::hours(24);
    settings.maxConnectionLifetime = std::chrono::hours(24);
    return settings;
}

} // namespace

TEST(HttpRequest, ErrorStatusIsAnAnswerAndKeepsItsBody) {
    SScript script = ReplyingWith("<html><body><h1>Error 500</h1></body></html>");
    script.nStatus = 500;
    CScriptedServer server(script);
    CHttpRequest request("POST", server.Url(kAddActivity));
    ASSERT_TRUE(request.Send(kOneActivity));
    EXPECT_EQ(request.GetStatus(), 500);
    EXPECT_EQ(request.GetResponseText(), "<html><body><h1>Error 500</h1></body></html>");

    script.nStatus = 302;
    script.strHeaders = "Location: /elsewhere\r\n";
    CScriptedServer redirecting(script);
    CHttpRequest redirected("POST", redirecting.Url(kAddActivity));
    ASSERT_TRUE(redirected.Send(kOneActivity));
    EXPECT_EQ(redirected.GetStatus(), 302) << "a redirect is an answer, not followed";
}

TEST(HttpRequest, BodyArrivesAsRawBytesCutAtTheFirstZeroByte) {
    std::string strReply = std::string("<r>\xC3\xA9\xFF\x80</r>") + '\0' + "after the zero";
    CScriptedServer server(ReplyingWith(strReply));
    CHttpRequest request("POST", server.Url(kAddActivity));
    const std::string strSent = std::string("<a>\xC3\xA9\xFF</a>") + '\0' + "\r\n";
    ASSERT_TRUE(request.Send(strSent));
    EXPECT_EQ(request.GetStatus(), 200);
    EXPECT_EQ(request.GetResponseText(), "<r>\xC3\xA9\xFF\x80</r>");
    EXPECT_EQ(server.Bodies(), std::vector<std::string>({strSent})) << "the body went out unchanged";
}

TEST(HttpRequest, OversizedBodyIsCappedNotRefused) {
    CScriptedServer server(ReplyingWith(std::string(CHttpRequest::kMaxResponseBytes + 4096, 'a')));
    CHttpRequest request("POST", server.Url(kAddActivity));
    request.SetResponseLimit(CHttpRequest::kMaxResponseBytes * 4);
    ASSERT_TRUE(request.Send(kOneActivity));
    EXPECT_EQ(request.GetResponseText().size(), CHttpRequest::kMaxResponseBytes)
        << "no limit above the ceiling";
    EXPECT_TRUE(request.IsResponseCut());
}

TEST(HttpRequest, BodyPastTheRequestsLimitIsCutThere) {
    const std::string strBody(256 * 1024, 'a');
    CScriptedServer server(ReplyingWith(strBody));
    CHttpRequest exact("POST", server.Url(kAddActivity));
    exact.SetResponseLimit(strBody.size());
    ASSERT_TRUE(exact.Send(kOneActivity));
    EXPECT_EQ(exact.GetResponseText(), strBody);
    EXPECT_FALSE(exact.IsResponseCut());

    CHttpRequest small("POST", server.Url(kAddActivity));
    small.SetResponseLimit(1000);
    ASSERT_TRUE(small.Send(kOneActivity)) << "an answer past the limit is still an answer";
    EXPECT_EQ(small.GetResponseText(), strBody.substr(0, 1000));
    EXPECT_TRUE(small.IsResponseCut());
    EXPECT_EQ(small.GetStatus(), 200);
}

TEST(HttpRequest, NoServerMeansFailureWithTheErrorText) {
    CHttpRequest request("POST", "http://127.0.0.1:" + std::to_string(ClosedPort()) + kAddActivity);
    EXPECT_FALSE(request.Send(kOneActivity));
    EXPECT_EQ(request.GetResponseText(), "");
    EXPECT_EQ(request.GetStatus(), -1);
    EXPECT_EQ(request.GetErrorText().rfind("Failed to send request error(", 0), 0u) << request.GetErrorText();

    for (const char* szUrl : {"file:///etc/hostname", "ftp://127.0.0.1/x", "http:// host :-5/x", ""}) {
        CHttpRequest notHttp("POST", szUrl);
        EXPECT_FALSE(notHttp.Send("")) << szUrl << ": only http and https are spoken";
        EXPECT_EQ(notHttp.GetResponseText(), "");
        EXPECT_EQ(notHttp.GetErrorText().rfind("Failed to send request error(", 0), 0u) << szUrl;
    }
}

TEST(HttpRequest, ConnectionCheckTellsAListeningServerFromNone) {
    CScriptedServer server;
    std::string strError;
    EXPECT_TRUE(CHttpRequest::CanConnect(server.Url(kAddActivity), 10000, strError)) << strError;
    EXPECT_TRUE(server.Bodies().empty()) << "the check sends nothing";

    EXPECT_FALSE(
        CHttpRequest::CanConnect("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/", 10000, strError));
    EXPECT_NE(strError, "");
    strError.clear();
    EXPECT_FALSE(CHttpRequest::CanConnect("gopher://127.0.0.1/", 10000, strError));
    EXPECT_NE(strError, "");
}

TEST(HttpRequest, ServerThatNeverAnswersIsGivenUp) {
    SScript script;
    script.bHang = true;
    CScriptedServer server(script);
    CHttpRequest request("POST", server.Url(kAddActivity), ShortTimeouts());
    bool bSent = request.Send(kOneActivity);
    EXPECT_FALSE(bSent);
    EXPECT_EQ(request.GetResponseText(), "");
    EXPECT_EQ(request.GetErrorText(), "Failed to send request error(28)") << "28: operation timed out";
}

TEST(HttpRequest, ServerThatAnswersByTheByteIsGivenUpAtTheTotalTimeOut) {
    SScript script;
    script.bTrickle = true;
    CScriptedServer server(script);
    CHttpRequest request("POST", server.Url(kAddActivity), ShortTimeouts());
    EXPECT_FALSE(request.Send(kOneActivity)) << "each byte comes well within any single wait";
    EXPECT_EQ(request.GetErrorText(), "Failed to send request error(28)");
    EXPECT_EQ(request.GetResponseText(), "");
}

// At a stop, an exchange with a server that hangs must not hold the agent past the service manager's
// patience, whatever is left of its own time-out.
TEST(HttpRequest, ExchangeInFlightIsGivenUpAtTheStopsDeadline) {
    SScript script;
    script.bHang = true;
    CScriptedServer server(script);
    CHttpRequest request("POST", server.Url(kAddActivity));
    CHttpRequest::AbortExchangesAt(std::chrono::steady_clock::now() + std::chrono::milliseconds(300));
    bool bSent = request.Send(kOneActivity);
    CHttpRequest::AbortExchangesAt(std::chrono::steady_clock::time_point::max());
    EXPECT_FALSE(bSent);
    EXPECT_EQ(request.GetErrorText(), "Failed to send request error(42)") << "42: given up by the agent";
    CHttpRequest after("POST", server.Url(kAddActivity), ShortTimeouts());
    after.Send(kOneActivity);
    EXPECT_EQ(after.GetErrorText(), "Failed to send request error(28)") << "the deadline taken back";
}

TEST(HttpRequest, ExchangeAlreadyWaitingIsGivenUpWhenTheStopsDeadlineComes) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine's WinHTTP goes on waiting for an answer on a request handle another thread "
                        "closed; the exchange then ends at its own time-out";
    SScript script;
    script.bHang = true;
    CScriptedServer server(script);
    CHttpRequest request("POST", server.Url(kAddActivity));
    std::thread sender([&request] { request.Send(kOneActivity); });
    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (server.Bodies().empty() && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CHttpRequest::AbortExchangesAt(std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
    sender.join();
    CHttpRequest::AbortExchangesAt(std::chrono::steady_clock::time_point::max());
    EXPECT_EQ(request.GetErrorText(), "Failed to send request error(42)") << "42: given up by the agent";
}

TEST(HttpRequest, BurstFromManyThreadsUsesAtMostThePoolsConnectionsAgainAndAgain) {
    const CHttpSettings kept = KeptConnections();
    CScriptedServer server;
    constexpr int kThreads = 24;
    constexpr int kPostsEach = 3;
    std::atomic<int> nAnswered{0};
    std::vector<std::thread> threads;
    for (int nThread = 0; nThread < kThreads; ++nThread)
        threads.emplace_back([&] {
            for (int nPost = 0; nPost < kPostsEach; ++nPost) {
                CHttpRequest request("POST", server.Url(kAddActivity), kept);
                nAnswered += request.Send(kOneActivity) && request.GetStatus() == 200 ? 1 : 0;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(nAnswered, kThreads * kPostsEach);
    EXPECT_EQ(server.Bodies().size(), static_cast<size_t>(kThreads * kPostsEach));
    EXPECT_GE(server.ConnectionCount(), 1);
    EXPECT_LE(server.ConnectionCount(), CHttpRequest::kMaxConnections);
}

TEST(HttpRequest, ChangedServerTakesEffectAtOnceAndTheOldConnectionCloses) {
    const CHttpSettings kept = KeptConnections();
    CScriptedServer first;
    CScriptedServer second;
    EXPECT_TRUE(CHttpRequest("POST", first.Url(kAddActivity), kept).Send("<a/>"));
    EXPECT_TRUE(CHttpRequest("POST", second.Url(kAddActivity), kept).Send("<b/>"));
    EXPECT_EQ(first.Bodies(), std::vector<std::string>({"<a/>"}));
    EXPECT_EQ(second.Bodies(), std::vector<std::string>({"<b/>"}));
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine's WinHTTP keeps the connection of a closed session open until its own idle "
                        "time-out (about 30 s)";
    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (first.OpenConnectionCount() > 0 && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(first.OpenConnectionCount(), 0)
        << "the connection to the old server is not kept beside the new one";
    EXPECT_TRUE(CHttpRequest("POST", first.Url(kAddActivity), kept).Send("<c/>"));
    EXPECT_EQ(first.ConnectionCount(), 2);
}

TEST(HttpRequest, PostIsNeverSentTwiceWhenItsKeptConnectionBreaks) {
    const CHttpSettings kept = KeptConnections();
    SScript script;
    script.bForgetSecond = true;
    CScriptedServer server(script);
    ASSERT_GT(server.Port(), 0);
    CHttpRequest first("POST", server.Url(kAddActivity), kept);
    EXPECT_TRUE(first.Send("<first/>"));
    CHttpRequest second("POST", server.Url(kAddActivity), kept);
    EXPECT_FALSE(second.Send("<second/>")) << "the server read it, then the connection broke: no answer";
    CHttpRequest third("POST", server.Url(kAddActivity), kept);
    EXPECT_TRUE(third.Send("<third/>")) << "the broken connection was replaced";
    EXPECT_EQ(server.Bodies(), std::vector<std::string>({"<first/>", "<second/>", "<third/>"}));
}
