#include "client/HttpRequest.h"
#include "client/ServerFixture.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

const char* const kAddActivity = "/KlendoWebServices/KlendoWebServicesExt.dll?AddKlendoActivity";
const char* const kOneActivity = "<activities><activity id=\"x\"/></activities>";

SReferenceServerOptions ReplyingWith(const std::string& strBody) {
    SReferenceServerOptions options;
    options.strReplyBody = strBody;
    return options;
}

// A connect that a loaded machine still makes, an exchange that a hung server cannot finish.
CHttpSettings ShortTimeouts() {
    CHttpSettings settings;
    settings.connectTimeout = std::chrono::milliseconds(1000);
    settings.totalTimeout = std::chrono::milliseconds(300);
    return settings;
}

} // namespace

TEST(HttpRequest, ErrorStatusIsAnAnswerAndKeepsItsBody) {
    SReferenceServerOptions options;
    options.nHttpStatus = 500;
    CTestServer server(options);
    CHttpRequest request("POST", server.Url(kAddActivity));
    ASSERT_TRUE(request.Send(kOneActivity));
    EXPECT_EQ(request.GetStatus(), 500);
    EXPECT_EQ(request.GetResponseText().rfind("<html><body><h1>Error 500</h1>", 0), 0u)
        << request.GetResponseText();
    EXPECT_EQ(server.Server().GetStoredCount(), 0);
}

TEST(HttpRequest, BodyArrivesAsRawBytesCutAtTheFirstZeroByte) {
    std::string strReply = std::string("<r>\xC3\xA9\xFF\x80</r>") + '\0' + "after the zero";
    CTestServer server(ReplyingWith(strReply));
    CHttpRequest request("POST", server.Url(kAddActivity));
    ASSERT_TRUE(request.Send(kOneActivity));
    EXPECT_EQ(request.GetStatus(), 200);
    EXPECT_EQ(request.GetResponseText(), "<r>\xC3\xA9\xFF\x80</r>");
    EXPECT_EQ(server.Server().GetStoredCount(), 1) << "the body went out unchanged";
}

TEST(HttpRequest, OversizedBodyIsCappedNotRefused) {
    CTestServer server(ReplyingWith(std::string(CHttpRequest::kMaxResponseBytes + 4096, 'a')));
    CHttpRequest request("POST", server.Url(kAddActivity));
    request.SetResponseLimit(CHttpRequest::kMaxResponseBytes * 4);
    ASSERT_TRUE(request.Send(kOneActivity));
    EXPECT_EQ(request.GetResponseText().size(), CHttpRequest::kMaxResponseBytes)
        << "no limit above the ceiling";
    EXPECT_TRUE(request.IsResponseCut());
}

TEST(HttpRequest, BodyPastTheRequestsLimitIsCutThere) {
    const std::string strBody(256 * 1024, 'a');
    CTestServer server(ReplyingWith(strBody));
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

    CHttpRequest notHttp("POST", "file:///etc/hostname");
    EXPECT_FALSE(notHttp.Send("")) << "only http and https are spoken";
    EXPECT_EQ(notHttp.GetResponseText(), "");
}

TEST(HttpRequest, ServerThatNeverAnswersIsGivenUp) {
    SReferenceServerOptions options;
    options.nDelayMs = 60000;
    CTestServer server(options);
    CHttpRequest request("POST", server.Url(kAddActivity), ShortTimeouts());
    bool bSent = request.Send(kOneActivity);
    EXPECT_FALSE(bSent);
    EXPECT_EQ(request.GetResponseText(), "");
    EXPECT_EQ(request.GetErrorText(), "Failed to send request error(28)") << "28: operation timed out";
}

// At a stop, an exchange with a server that hangs must not hold the agent past the service manager's
// patience, whatever is left of its own time-out.
TEST(HttpRequest, ExchangeInFlightIsGivenUpAtTheStopsDeadline) {
    SReferenceServerOptions options;
    options.nDelayMs = 60000;
    CTestServer server(options);
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
