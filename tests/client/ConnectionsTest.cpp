#include "client/AddActivityClientReqHandler.h"
#include "client/HttpRequest.h"
#include "client/RawSockets.h"
#include "client/ServerFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const char* const kAddActivity = "/KlendoWebServices/KlendoWebServicesExt.dll?AddKlendoActivity";

std::string Body(int nPost) {
    return "<activities><activity id=\"post" + std::to_string(nPost) + "\"/></activities>";
}

bool Post(CTestServer& server, int nPost, const CHttpSettings& settings = CHttpSettings()) {
    CHttpRequest request("POST", server.Url(kAddActivity), settings);
    return request.Send(Body(nPost)) && request.GetStatus() == 200;
}

// Polls the condition; the deadline only bounds a failure.
bool WaitUntil(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Connections are kept however slowly a loaded machine runs the test.
CHttpSettings KeptConnections() {
    CHttpSettings settings;
    settings.maxConnectionIdle = 24h;
    settings.maxConnectionLifetime = 24h;
    return settings;
}

CHttpSettings Timeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total) {
    CHttpSettings settings;
    settings.connectTimeout = connect;
    settings.totalTimeout = total;
    return settings;
}

} // namespace

TEST(Connections, ServerThatClosesConnectionsFailsNoPost) {
    const CHttpSettings kept = KeptConnections();
    SReferenceServerOptions closingAfterEach;
    closingAfterEach.nKeepAliveRequests = 1;
    CTestServer closing(closingAfterEach);
    for (int nPost = 0; nPost < 3; ++nPost)
        EXPECT_TRUE(Post(closing, nPost, kept));
    EXPECT_EQ(closing.Server().GetConnectionCount(), 3);

    SReferenceServerOptions closingWhenIdle;
    closingWhenIdle.nKeepAliveSeconds = 2;
    CTestServer idle(closingWhenIdle);
    EXPECT_TRUE(Post(idle, 1, kept));
    // Once the server has closed the kept connection and this side has seen it, the next post
    // finds it dead and opens another.
    ASSERT_TRUE(WaitUntil([&] {
        return idle.Server().GetOpenConnectionCount() == 0 && !HasEstablishedConnectionTo(idle.Port());
    }));
    EXPECT_TRUE(Post(idle, 2, kept));
    EXPECT_EQ(idle.Server().GetConnectionCount(), 2);
    EXPECT_EQ(idle.Server().GetStoredCount(), 2);
}

TEST(Connections, WaitForABusyConnectionCountsTowardTheTimeOut) {
    SReferenceServerOptions slow;
    slow.nDelayMs = 600000; // ended by the server's stop
    CTestServer server(slow);
    std::vector<std::thread> holders;
    {
        for (int nPost = 0; nPost < CHttpRequest::kMaxConnections; ++nPost)
            holders.emplace_back([&server, nPost] { Post(server, nPost, Timeouts(600s, 600s)); });
        EXPECT_TRUE(
            WaitUntil([&] { return server.Server().GetPostCount() == CHttpRequest::kMaxConnections; }));
    }
    {
        CHttpRequest request("POST", server.Url(kAddActivity), Timeouts(200ms, 600s));
        EXPECT_FALSE(request.Send(Body(100)));
        EXPECT_EQ(request.GetErrorText(), "Failed to send request error(28)") << "28: operation timed out";
    }
    {
        CHttpRequest request("POST", server.Url(kAddActivity), Timeouts(600s, 200ms));
        EXPECT_FALSE(request.Send(Body(101)));
        EXPECT_EQ(request.GetErrorText(), "Failed to send request error(28)");
    }
    EXPECT_EQ(server.Server().GetPostCount(), CHttpRequest::kMaxConnections) << "neither request went out";
    server.Server().Stop();
    for (std::thread& holder : holders)
        holder.join();
}

TEST(Connections, ChangedServerPortTakesEffectAtOnce) {
    const CHttpSettings kept = KeptConnections();
    SReferenceServerOptions keeping;
    keeping.nKeepAliveSeconds = 600; // only this side closes connections here
    CTestServer first(keeping);
    CTestServer second(keeping);
    CAddActivityContext context = first.Context();
    context.m_http = kept;
    auto post = [&context](const std::string& strId) {
        CActivityList list;
        auto* pActivity = new CActivity;
        pActivity->m_strId = strId;
        list.Add(pActivity);
        return CAddActivityClientReqHandler(&context, &list).Execute();
    };
    EXPECT_EQ(post("a"), 1);
    context.m_nServerPort = second.Port();
    EXPECT_EQ(post("b"), 1);
    EXPECT_EQ(first.Server().GetStoredCount(), 1);
    EXPECT_EQ(second.Server().GetStoredCount(), 1);
    EXPECT_TRUE(WaitUntil([&] { return first.Server().GetOpenConnectionCount() == 0; }))
        << "the connection to the old port is not kept beside the new one";
    context.m_nServerPort = first.Port();
    EXPECT_EQ(post("c"), 1);
    EXPECT_EQ(first.Server().GetStoredCount(), 2);
}

TEST(Connections, IdleConnectionsOfSeveralAgentsLeaveTheReferenceServerRoomForANewOne) {
    SReferenceServerOptions options;
    options.nKeepAliveSeconds = 600; // an idle connection would hold its worker all test long
    CTestServer server(options);
    // One after the other: connections arriving together would overflow httplib's short accept queue.
    std::vector<std::unique_ptr<CIdleConnection>> idle;
    for (long nConnection = 1; nConnection <= 4 * CHttpRequest::kMaxConnections; ++nConnection) {
        idle.push_back(std::make_unique<CIdleConnection>(server.Port()));
        ASSERT_TRUE(idle.back()->IsConnected());
        ASSERT_TRUE(WaitUntil([&] { return server.Server().GetConnectionCount() == nConnection; }));
    }
    EXPECT_TRUE(Post(server, 1, Timeouts(60s, 60s))) << "a post that finds no free worker times out";
}

TEST(Connections, ReferenceServerStopClosesKeptConnectionsAtOnce) {
    const CHttpSettings kept = KeptConnections();
    SReferenceServerOptions options;
    options.nKeepAliveSeconds = 600; // a stop that waited for idle connections to time out would hang
    CTestServer server(options);
    ASSERT_TRUE(Post(server, 1, kept));
    ASSERT_EQ(server.Server().GetOpenConnectionCount(), 1);
    server.Server().Stop();
    EXPECT_EQ(server.Server().GetOpenConnectionCount(), 0);
}

// A second server asked for a port another one listens on fails to start: sharing the port would
// split the posts between two servers that each see half.
TEST(Connections, SecondReferenceServerOnATakenPortDoesNotStart) {
    CTestServer first;
    SReferenceServerOptions options;
    options.strDatabase = ":memory:";
    options.nPort = first.Port();
    CReferenceServer second(options);
    std::string strError;
    EXPECT_FALSE(second.Start(strError));
    ASSERT_TRUE(Post(first, 1, KeptConnections()));
    EXPECT_EQ(first.Server().GetPostCount(), 1);
}
