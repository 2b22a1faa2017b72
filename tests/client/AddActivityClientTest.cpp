#include "activity/KlendoActivityParser.h"
#include "activity/LogCapture.h"
#include "client/AddActivityClientReqHandler.h"
#include "client/HttpRequest.h"
#include "client/NewActivity.h"
#include "client/ServerFixture.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

// Posts two activities ("a" and "b") to the server; the result of Execute.
int PostTwo(CTestServer& server, CAddActivityContext& context) {
    context = server.Context();
    CActivityList list;
    list.Add(NewActivity("a", "first.pdf"));
    list.Add(NewActivity("b", "second.pdf"));
    return CAddActivityClientReqHandler(&context, &list).Execute();
}

SReferenceServerOptions Replying(const std::string& strStatus, const std::string& strActivityStatuses = "1") {
    SReferenceServerOptions options;
    options.strStatus = strStatus;
    options.activityStatuses.clear();
    for (char c : strActivityStatuses)
        if (c != ',')
            options.activityStatuses.push_back(std::string(1, c));
    return options;
}

} // namespace

TEST(AddActivityClient, UrlCarriesAddressAndPortWithZeroMeaningEighty) {
    CAddActivityContext context;
    context.m_strServerAddress = "printsrv";
    CAddActivityClientReqHandler handler(&context, nullptr);
    EXPECT_EQ(handler.BuildURL(),
              "http://printsrv:80/KlendoWebServices/KlendoWebServicesExt.dll?AddKlendoActivity");
    EXPECT_EQ(context.m_nServerPort, 80);
    context.m_nServerPort = 8080;
    EXPECT_EQ(handler.BuildURL(),
              "http://printsrv:8080/KlendoWebServices/KlendoWebServicesExt.dll?AddKlendoActivity");
    context.m_nServerPort = -5;
    context.m_strServerAddress = " host ";
    EXPECT_EQ(handler.BuildURL(),
              "http:// host :-5/KlendoWebServices/KlendoWebServicesExt.dll?AddKlendoActivity");
}

TEST(AddActivityClient, RequestBodyHoldsEveryActivityAndGivesMissingIdsAGuid) {
    CAddActivityContext context;
    CActivityList list;
    CAddActivityClientReqHandler handler(&context, &list);
    EXPECT_EQ(handler.BuildRequestXML(), "");

    list.Add(NewActivity("a", "first.pdf"));
    CKlendoActivityParser parser;
    std::string strFirst = parser.BuildActivityXML(*list.GetAt(0));
    EXPECT_EQ(handler.BuildRequestXML(), "<activities>" + strFirst + "</activities>");

    list.Add(nullptr);
    list.Add(NewActivity("", "second.pdf"));
    std::string strBody = handler.BuildRequestXML();
    const std::string& strNewId = list.GetAt(2)->m_strId;
    EXPECT_TRUE(std::regex_match(strNewId, std::regex("[0-9a-f-]{36}"))) << strNewId;
    EXPECT_EQ(strBody, "<activities>" + strFirst + parser.BuildActivityXML(*list.GetAt(2)) + "</activities>");
    list.RemoveAt(1);
}

TEST(AddActivityClient, AcceptedPostReportsEveryIdAndTheServerStoresTheActivities) {
    CTestServer server;
    CAddActivityContext context;
    EXPECT_EQ(PostTwo(server, context), 1);
    EXPECT_EQ(context.m_bSuccess, 1);
    std::map<std::string, std::string> expected = {{"a", "1"}, {"b", "1"}};
    EXPECT_EQ(context.m_mapActivityStatus, expected);
    EXPECT_EQ(server.Server().GetStoredCount(), 2);

    CHttpRequest list("GET", server.Url("/activities"));
    ASSERT_TRUE(list.Send(""));
    EXPECT_NE(list.GetResponseText().find("\"document\":{\"name\":\"second.pdf\""), std::string::npos)
        << list.GetResponseText();
}

TEST(AddActivityClient, EmptyListSendsNothing) {
    CTestServer server;
    CAddActivityContext context = server.Context();
    context.m_bSuccess = 1;
    CActivityList list;
    EXPECT_EQ(CAddActivityClientReqHandler(&context, &list).Execute(), 0);
    EXPECT_EQ(context.m_bSuccess, 0);
    EXPECT_EQ(server.Server().GetPostCount(), 0);
}

TEST(AddActivityClient, OverallVerdictComesFromTheRootStatus) {
    struct {
        const char* szStatus;
        int nExpected;
    } cases[] = {{"1", 1}, {"success", 1}, {"SUCCESS", 1}, {"Success", 1},
                 {"0", 0}, {"", 0},        {"11", 0},      {"yes", 0}};
    for (const auto& verdict : cases) {
        CTestServer server(Replying(verdict.szStatus));
        CAddActivityContext context;
        EXPECT_EQ(PostTwo(server, context), verdict.nExpected) << "status \"" << verdict.szStatus << "\"";
        EXPECT_EQ(context.m_mapActivityStatus.size(), 2u);
    }
    SReferenceServerOptions noStatus;
    noStatus.bOmitStatus = true;
    CTestServer server(noStatus);
    CAddActivityContext context;
    EXPECT_EQ(PostTwo(server, context), 0);
}

TEST(AddActivityClient, RefusedActivitiesAndRepliesWithoutActivityElements) {
    CTestServer mixed(Replying("0", "1,0"));
    CAddActivityContext context;
    EXPECT_EQ(PostTwo(mixed, context), 0);
    std::map<std::string, std::string> expected = {{"a", "1"}, {"b", "0"}};
    EXPECT_EQ(context.m_mapActivityStatus, expected) << "the map is filled whatever the overall verdict";

    SReferenceServerOptions bare;
    bare.bOmitActivities = true;
    CTestServer server(bare);
    EXPECT_EQ(PostTwo(server, context), 1);
    EXPECT_TRUE(context.m_mapActivityStatus.empty());
    EXPECT_EQ(CAddActivityClientReqHandler(&context, nullptr).ParseResponse("<activities status=\"1\"/>"), 0);
}

TEST(AddActivityClient, DuplicateIdsKeepTheLastStatusAndIdlessEntriesUseTheEmptyKey) {
    SReferenceServerOptions options;
    options.strReplyBody =
        "<reply status=\"1\"><activity id=\"a\" status=\"1\"/><activity id=\"a\" status=\"0\"/>"
        "<activity status=\"7\"/><other id=\"b\" status=\"1\"/></reply>";
    CTestServer server(options);
    CAddActivityContext context;
    EXPECT_EQ(PostTwo(server, context), 1);
    std::map<std::string, std::string> expected = {{"a", "0"}, {"", "7"}};
    EXPECT_EQ(context.m_mapActivityStatus, expected);
}

TEST(AddActivityClient, ErrorPagesAndMissingServersLeaveTheCallersValues) {
    SReferenceServerOptions options;
    options.nHttpStatus = 500;
    CTestServer failing(options);
    CAddActivityContext context;
    EXPECT_EQ(PostTwo(failing, context), 0);
    EXPECT_TRUE(context.m_mapActivityStatus.empty());
    EXPECT_EQ(failing.Server().GetPostCount(), 1) << "the request was sent";

    context.m_nServerPort = ClosedPort();
    CActivityList list;
    list.Add(NewActivity("", "lost.pdf"));
    EXPECT_EQ(CAddActivityClientReqHandler(&context, &list).Execute(), 0);
    EXPECT_FALSE(list.GetAt(0)->m_strId.empty()) << "the new id stays in the record";

    context.m_bSuccess = 1;
    context.m_mapActivityStatus["kept"] = "1";
    CAddActivityClientReqHandler handler(&context, nullptr);
    EXPECT_EQ(handler.ParseResponse("<html><body>Bad Gateway</body>"), 1);
    EXPECT_EQ(context.m_bSuccess, 1) << "a reply that is not XML changes nothing";
    EXPECT_EQ(context.m_mapActivityStatus.size(), 1u);
}

TEST(AddActivityClient, ReplyFarAboveItsCapIsNotReadAndNotAcknowledged) {
    // A well-formed reply that takes the activity, padded with a megabyte of small elements.
    std::string strReply = "<activities status=\"1\"><activity id=\"a\" status=\"1\"/>";
    while (strReply.size() < 1024 * 1024)
        strReply += "<activity id=\"padding\" status=\"0\"/>";
    SReferenceServerOptions options;
    options.strReplyBody = strReply + "</activities>";
    CTestServer server(options);
    CLogCapture log;
    CAddActivityContext context = server.Context();
    CActivityList list;
    list.Add(NewActivity("a", "one.pdf"));
    EXPECT_EQ(CAddActivityClientReqHandler(&context, &list).Execute(), 0);
    EXPECT_TRUE(context.m_mapActivityStatus.empty());
    EXPECT_EQ(server.Server().GetStoredCount(), 1) << "the post itself went out";
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>({"--F: server reply longer than 66560 bytes, not read"}));
}
