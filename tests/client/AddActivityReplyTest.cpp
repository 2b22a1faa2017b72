#include "activity/KlendoActivityParser.h"
#include "activity/LogCapture.h"
#include "client/AddActivityClientReqHandler.h"
#include "client/NewActivity.h"
#include "client/RawSockets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// The post and its reply through this system's transport and XML document, against a scripted server.

namespace {

CAddActivityContext ContextFor(const CScriptedServer& server) {
    CAddActivityContext context;
    context.m_strServerAddress = "127.0.0.1";
    context.m_nServerPort = server.Port();
    return context;
}

SScript Replying(const std::string& strBody) {
    SScript script;
    script.strBody = strBody;
    return script;
}

} // namespace

TEST(AddActivityReply, PostCarriesEveryActivityAndTheReplyIsReadActivityByActivity) {
    CScriptedServer server(
        Replying("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<activities status=\"Success\">"
                 "\r\n  <activity id=\"a\" status=\"1\"/>\r\n  <activity id=\"b\" status=\"0\"/>"
                 "\r\n</activities>\r\n"));
    CAddActivityContext context = ContextFor(server);
    CActivityList list;
    list.Add(NewActivity("a", "first & <x>.pdf"));
    list.Add(NewActivity("b", "\xC3\xA9t\xC3\xA9\t\"2\".pdf"));
    EXPECT_EQ(CAddActivityClientReqHandler(&context, &list).Execute(), 1);
    EXPECT_EQ(context.m_nHttpStatus, 200);
    std::map<std::string, std::string> expected = {{"a", "1"}, {"b", "0"}};
    EXPECT_EQ(context.m_mapActivityStatus, expected);

    ASSERT_EQ(server.Bodies().size(), 1u);
    CActivityList posted;
    ASSERT_EQ(CKlendoActivityParser().ParseActivityFromString(server.Bodies()[0], posted), 2)
        << server.Bodies()[0];
    EXPECT_EQ(posted.GetAt(0)->m_document.m_strName, "first & <x>.pdf");
    EXPECT_EQ(posted.GetAt(1)->m_document.m_strName, "\xC3\xA9t\xC3\xA9\t\"2\".pdf");
}

TEST(AddActivityReply, HostileReplyFetchesNothingAndExpandsNothing) {
    CScriptedServer lure;
    std::string strDtd = lure.Url("/x.dtd");
    CScriptedServer server(Replying("<!DOCTYPE activities SYSTEM \"" + strDtd +
                                    "\" [<!ENTITY remote SYSTEM \"" + strDtd +
                                    "\"><!ENTITY one \"1\">]><activities status=\"&one;\">"
                                    "<activity id=\"a\" status=\"&remote;\"/></activities>"));
    CAddActivityContext context = ContextFor(server);
    CActivityList list;
    list.Add(NewActivity("a", "a.pdf"));
    EXPECT_EQ(CAddActivityClientReqHandler(&context, &list).Execute(), 0) << "an entity is no status";
    std::map<std::string, std::string> expected = {{"a", "&remote;"}};
    EXPECT_EQ(context.m_mapActivityStatus, expected);
    EXPECT_TRUE(lure.Bodies().empty()) << "nothing was fetched";

    CScriptedServer twoRoots(
        Replying("<activities status=\"1\"><activity id=\"a\" status=\"1\"/></activities>"
                 "<activities status=\"1\"/>"));
    context = ContextFor(twoRoots);
    CLogCapture log;
    EXPECT_EQ(CAddActivityClientReqHandler(&context, &list).Execute(), 0) << "not one document: no answer";
    EXPECT_TRUE(context.m_mapActivityStatus.empty());
    std::vector<std::string> messages = log.Messages();
    EXPECT_NE(
        std::find(messages.begin(), messages.end(), "--F: server reply is no single XML document, 89 bytes"),
        messages.end())
        << "the operator is told why the activities stay pending";
}
