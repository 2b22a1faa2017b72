#include "activity/KlendoActivityParser.h"
#include "activity/LogCapture.h"

#include "StrictXml.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <regex>

namespace {

const char* const kWorkedExampleXml =
    R"(<activity id="6f1c2a9e-3b47-4d05-9e18-72c4b0a5d3f1" type="Print" status="pending" )"
    R"(source="KlendoHotFolderAgent" flags="0" devserial="" jobid="">)"
    R"(<document name="report.pdf" username="user1" datetime="2010-06-14 09:30:05" width="8.500000" )"
    R"(length="11.000000" copies="2" pages="12" color="0" device="Printer3" machinename="" pagesizeref="" )"
    R"(colorsheets="0" clr_c="0.000000" clr_m="0.000000" clr_y="0.000000" clr_k="0.000000"/>)"
    R"(<billing projectnumber="" phasenumber="" unlisted-projectnum="" unlisted-phasenum="" billcodename="" )"
    R"(notes="" medianame=""><customfields/></billing></activity>)";

CCustomField* NewField(const std::string& strName, const std::string& strId, const std::string& strValue,
                       const std::string& strKey) {
    auto pField = new CCustomField;
    pField->m_strName = strName;
    pField->m_strId = strId;
    pField->m_strValue = strValue;
    pField->m_strKey = strKey;
    return pField;
}

// Parses activity elements wrapped in an "activities" root, as a re-send of the archive does.
int ParseWrapped(const std::string& strActivities, CActivityList& list) {
    return CKlendoActivityParser().ParseActivityFromString("<activities>" + strActivities + "</activities>",
                                                           list);
}

// Every text field of an activity, custom fields included, in one fixed order.
std::vector<std::string*> TextFields(CActivity& activity) {
    CActivityDocument& document = activity.m_document;
    CActivityBilling& billing = activity.m_billing;
    std::vector<std::string*> fields = {
        &activity.m_strDevSerial,      &activity.m_strJobId,       &activity.m_strId,
        &activity.m_strType,           &activity.m_strStatus,      &activity.m_strSource,
        &document.m_strName,           &document.m_strUserName,    &document.m_strDateTime,
        &document.m_strDevice,         &document.m_strPageSizeRef, &document.m_strMachineName,
        &billing.m_strProjectNumber,   &billing.m_strPhaseNumber,  &billing.m_strBillCodeName,
        &billing.m_strNotes,           &billing.m_strMediaName,    &billing.m_strUnlistedProjectNum,
        &billing.m_strUnlistedPhaseNum};
    for (CCustomField* pField : billing.m_customFields)
        fields.insert(fields.end(),
                      {&pField->m_strName, &pField->m_strId, &pField->m_strValue, &pField->m_strKey});
    return fields;
}

} // namespace

TEST(ActivityXml, WorkedExampleComesOutAttributeForAttribute) {
    CActivity activity;
    activity.m_strId = "6f1c2a9e-3b47-4d05-9e18-72c4b0a5d3f1";
    activity.m_strType = "Print";
    activity.m_strStatus = "pending";
    activity.m_strSource = "KlendoHotFolderAgent";
    activity.m_document.m_strName = "report.pdf";
    activity.m_document.m_strUserName = "user1";
    activity.m_document.m_strDateTime = "2010-06-14 09:30:05";
    activity.m_document.m_fWidth = 8.5f;
    activity.m_document.m_fLength = 11.0f;
    activity.m_document.m_nCopies = 2;
    activity.m_document.m_nPages = 12;
    activity.m_document.m_strDevice = "Printer3";
    EXPECT_EQ(CKlendoActivityParser().BuildActivityXML(activity), kWorkedExampleXml);
}

TEST(ActivityXml, BuildThenParseGivesBackEveryField) {
    CActivity activity;
    activity.m_strDevSerial = "SN-1";
    activity.m_strJobId = "42";
    activity.m_strId = "id-1";
    activity.m_strType = "Time";
    activity.m_strStatus = "pending";
    activity.m_strSource = "src";
    activity.m_nFlags = -17;
    CActivityDocument& document = activity.m_document;
    document.m_strName = "a&b <c> \"d\" 'e'.pdf";
    document.m_strUserName = "DOMAIN\\user";
    document.m_strDateTime = "2024-01-02 03:04:05";
    document.m_fWidth = 8.5f;
    document.m_fLength = 297.25f;
    document.m_nCopies = 3;
    document.m_nPages = 1000;
    document.m_nColorSheets = 7;
    document.m_bColor = true;
    document.m_strDevice = "dev";
    document.m_strPageSizeRef = "A4";
    document.m_strMachineName = "host";
    document.m_dClrC = 0.125;
    document.m_dClrM = 1.5;
    document.m_dClrY = -2.25;
    document.m_dClrK = 1234.5;
    CActivityBilling& billing = activity.m_billing;
    billing.m_strProjectNumber = "P1";
    billing.m_strPhaseNumber = "PH2";
    billing.m_strBillCodeName = "B&C";
    billing.m_strNotes = "line one\nline two\ttab";
    billing.m_strMediaName = "Bond";
    billing.m_strUnlistedProjectNum = "U1";
    billing.m_strUnlistedPhaseNum = "U2";
    billing.m_customFields.push_back(NewField("first", "1", "v<1>", "k1"));
    billing.m_customFields.push_back(NewField("second", "2", "\"v2\"", "k2"));

    CActivityList list;
    ASSERT_EQ(ParseWrapped(CKlendoActivityParser().BuildActivityXML(activity), list), 1);
    const CActivity& back = *list.GetAt(0);
    EXPECT_EQ(back.m_strDevSerial, "SN-1");
    EXPECT_EQ(back.m_strJobId, "42");
    EXPECT_EQ(back.m_strId, "id-1");
    EXPECT_EQ(back.m_strType, "Time");
    EXPECT_EQ(back.m_strStatus, "pending");
    EXPECT_EQ(back.m_strSource, "src");
    EXPECT_EQ(back.m_nFlags, -17);
    EXPECT_EQ(back.m_document.m_strName, document.m_strName);
    EXPECT_EQ(back.m_document.m_strUserName, "DOMAIN\\user");
    EXPECT_EQ(back.m_document.m_strDateTime, "2024-01-02 03:04:05");
    EXPECT_EQ(back.m_document.m_fWidth, 8.5f);
    EXPECT_EQ(back.m_document.m_fLength, 297.25f);
    EXPECT_EQ(back.m_document.m_nCopies, 3);
    EXPECT_EQ(back.m_document.m_nPages, 1000);
    EXPECT_EQ(back.m_document.m_nColorSheets, 7);
    EXPECT_TRUE(back.m_document.m_bColor);
    EXPECT_EQ(back.m_document.m_strDevice, "dev");
    EXPECT_EQ(back.m_document.m_strPageSizeRef, "A4");
    EXPECT_EQ(back.m_document.m_strMachineName, "host");
    EXPECT_EQ(back.m_document.m_dClrC, 0.125);
    EXPECT_EQ(back.m_document.m_dClrM, 1.5);
    EXPECT_EQ(back.m_document.m_dClrY, -2.25);
    EXPECT_EQ(back.m_document.m_dClrK, 1234.5);
    EXPECT_EQ(back.m_billing.m_strProjectNumber, "P1");
    EXPECT_EQ(back.m_billing.m_strPhaseNumber, "PH2");
    EXPECT_EQ(back.m_billing.m_strBillCodeName, "B&C");
    EXPECT_EQ(back.m_billing.m_strNotes, billing.m_strNotes);
    EXPECT_EQ(back.m_billing.m_strMediaName, "Bond");
    EXPECT_EQ(back.m_billing.m_strUnlistedProjectNum, "U1");
    EXPECT_EQ(back.m_billing.m_strUnlistedPhaseNum, "U2");
    ASSERT_EQ(back.m_billing.m_customFields.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const CCustomField& field = *back.m_billing.m_customFields[i];
        const CCustomField& original = *billing.m_customFields[i];
        EXPECT_EQ(field.m_strName, original.m_strName);
        EXPECT_EQ(field.m_strId, original.m_strId);
        EXPECT_EQ(field.m_strValue, original.m_strValue);
        EXPECT_EQ(field.m_strKey, original.m_strKey);
    }
}

TEST(ActivityXml, ParsesEveryActivityInOrderUnderAnyRootAndReplacesTheList) {
    CLogCapture log;
    CActivityList list;
    list.Add(new CActivity);
    std::string strXml = R"(<batch status="x"><activity id="a"><document pages="2"/></activity>)"
                         R"(<other/><activity id="b"><document pages="3"/></activity></batch>)";
    ASSERT_EQ(CKlendoActivityParser().ParseActivityFromString(strXml, list), 2);
    EXPECT_EQ(list.GetAt(0)->m_strId, "a");
    EXPECT_EQ(list.GetAt(0)->m_document.m_nPages, 2);
    EXPECT_EQ(list.GetAt(1)->m_strId, "b");
    EXPECT_EQ(list.GetAt(1)->m_document.m_nPages, 3);
    EXPECT_TRUE(log.Messages().empty());
}

TEST(ActivityXml, TextWithoutActivitiesGivesMinusOneAndAnEmptyList) {
    CLogCapture log;
    CActivityList list;
    list.Add(new CActivity);
    EXPECT_EQ(CKlendoActivityParser().ParseActivityFromString("<activities></activities>", list), -1);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_TRUE(log.Messages().empty()) << "no activity is not logged";

    list.Add(new CActivity);
    EXPECT_EQ(CKlendoActivityParser().ParseActivityFromString("this is <not xml", list), -1);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(CKlendoActivityParser().ParseActivityFromString("", list), -1);
    std::vector<std::string> messages = log.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "--F:loadactivityfromstring=this is <not xml");
    EXPECT_EQ(messages[1], "--F:loadactivityfromstring=");
}

TEST(ActivityXml, MissingPartsKeepOrZeroTheirValues) {
    CLogCapture log;
    CActivityList list;
    std::string strNoDocument = R"(<activity id="x"/>)";
    ASSERT_EQ(ParseWrapped(R"(<activity><document name="n"/></activity>)" + strNoDocument, list), 2);
    EXPECT_EQ(list.GetAt(0)->m_document.m_nCopies, 0) << "absent copies convert like an empty text";
    EXPECT_EQ(list.GetAt(0)->m_document.m_nPages, 0);
    EXPECT_EQ(list.GetAt(0)->m_billing.m_customFields.size(), 0u);
    EXPECT_EQ(list.GetAt(1)->m_document.m_nCopies, 1) << "no document element keeps the initial values";
    EXPECT_EQ(list.GetAt(1)->m_document.m_nPages, 1);
    std::vector<std::string> messages = log.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0],
              "--F:failed to parse activity from data=<activities><activity><document name=\"n\"/>"
              "</activity><activity id=\"x\"/></activities>");
}

TEST(ActivityXml, ConversionsOfNumbersFlagsAndFallbackNames) {
    CActivityList list;
    ASSERT_EQ(
        ParseWrapped(R"(<activity flags="12abc"><document color="1" copies=" -4x" pages="99999999999")"
                     R"( width="1e400" length="nan" colorsheets="" clr_c="2.5e1" device="" devicename="D"/>)"
                     R"(<billing billcodename="" billcode="B7"/></activity>)"
                     R"(<activity flags=""><document color="true" device="A" devicename="D" width="-.5"/>)"
                     R"(<billing billcodename="A" billcode="B7"/></activity>)"
                     R"(<activity><document color="01"/></activity>)"
                     R"(<activity><document color=" 1"/></activity>)",
                     list),
        4);
    const CActivity& first = *list.GetAt(0);
    EXPECT_EQ(first.m_nFlags, 12);
    EXPECT_TRUE(first.m_document.m_bColor);
    EXPECT_EQ(first.m_document.m_nCopies, -4);
    EXPECT_EQ(first.m_document.m_nPages, INT_MAX) << "beyond the range stops at its end";
    EXPECT_EQ(first.m_document.m_fWidth, FLT_MAX) << "beyond the float range stops at its end";
    EXPECT_EQ(first.m_document.m_fLength, 0.0f) << "only decimal numbers are read";
    EXPECT_EQ(first.m_document.m_nColorSheets, 0);
    EXPECT_EQ(first.m_document.m_dClrC, 25.0);
    EXPECT_EQ(first.m_document.m_strDevice, "D");
    EXPECT_EQ(first.m_billing.m_strBillCodeName, "B7");
    const CActivity& second = *list.GetAt(1);
    EXPECT_EQ(second.m_nFlags, 0);
    EXPECT_FALSE(second.m_document.m_bColor);
    EXPECT_EQ(second.m_document.m_strDevice, "A");
    EXPECT_EQ(second.m_document.m_fWidth, -0.5f);
    EXPECT_EQ(second.m_billing.m_strBillCodeName, "A");
    EXPECT_FALSE(list.GetAt(2)->m_document.m_bColor);
    EXPECT_FALSE(list.GetAt(3)->m_document.m_bColor);
}

TEST(ActivityXml, HostileTextsNeitherCrashNorReachOutside) {
    CActivityList list;
    std::string strEntity = "<!DOCTYPE a [<!ENTITY secret SYSTEM \"file:///etc/hostname\">"
                            "<!ENTITY big \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\">]>"
                            "<a><activity id=\"&secret;&big;\"><document/></activity></a>";
    ASSERT_EQ(CKlendoActivityParser().ParseActivityFromString(strEntity, list), 1);
    EXPECT_EQ(list.GetAt(0)->m_strId, "&secret;&big;") << "entities are neither fetched nor expanded";

    std::string strDeep;
    for (int i = 0; i < 200000; ++i)
        strDeep += "<x>";
    EXPECT_EQ(CKlendoActivityParser().ParseActivityFromString(strDeep, list), -1);
    std::string strClosedDeep = strDeep;
    for (int i = 0; i < 200000; ++i)
        strClosedDeep += "</x>";
    EXPECT_EQ(CKlendoActivityParser().ParseActivityFromString(strClosedDeep, list), -1);
}

TEST(ActivityXml, ControlCharactersAndInvalidUtf8InAnyFieldNoLongerMakeIllFormedXml) {
    const std::string strR = "\xEF\xBF\xBD";
    // Each text, and what it reads back as: every sequence that is not UTF-8, and every character
    // XML 1.0 forbids, becomes one U+FFFD; tab, line feed, carriage return and the rest stay.
    const std::pair<std::string, std::string> texts[] = {
        {std::string("nul\0byte", 8), "nul" + strR + "byte"},
        {"ctl\x01\x08\x0B\x0C\x1B[31m\x1F", "ctl" + strR + strR + strR + strR + strR + "[31m" + strR},
        {"lead \xFF\xFE \x80", "lead " + strR + strR + " " + strR},
        {"surrogate \xED\xA0\x80", "surrogate " + strR + strR + strR},
        {"nonchar \xEF\xBF\xBE \xEF\xBF\xBF", "nonchar " + strR + " " + strR},
        {"overlong \xC0\xAF \xE0\x80\xAF", "overlong " + strR + strR + " " + strR + strR + strR},
        {"beyond \xF4\x90\x80\x80", "beyond " + strR + strR + strR + strR},
        {"cut \xE2\x82", "cut " + strR},
        {"kept\t\n\r \x7F \xC2\x85 \xEF\xB7\x90 \xF0\x9F\x98\x80 \xE2\x82\xAC \xEF\xBF\xBD",
         "kept\t\n\r \x7F \xC2\x85 \xEF\xB7\x90 \xF0\x9F\x98\x80 \xE2\x82\xAC \xEF\xBF\xBD"},
    };
    for (const auto& text : texts) {
        CActivity activity;
        activity.m_billing.m_customFields.push_back(NewField("", "", "", ""));
        for (std::string* pField : TextFields(activity))
            *pField = text.first;
        std::string strXml = CKlendoActivityParser().BuildActivityXML(activity);
        ASSERT_FALSE(strXml.empty());
        EXPECT_TRUE(IsStrictlyWellFormedXml(strXml)) << strXml;
        EXPECT_TRUE(IsStrictlyWellFormedXml("<activities>" + strXml + strXml + "</activities>"));

        CActivityList list;
        ASSERT_EQ(ParseWrapped(strXml, list), 1) << strXml;
        std::vector<std::string*> back = TextFields(*list.GetAt(0));
        ASSERT_EQ(back.size(), 23u);
        for (size_t i = 0; i < back.size(); ++i)
            EXPECT_EQ(*back[i], text.second) << "field " << i << " of " << strXml;
    }
}

TEST(ActivityXml, ArchiveTextSplitsAtEveryActivityStartTag) {
    using Records = std::vector<std::string>;
    EXPECT_EQ(SplitActivityRecords(""), Records());
    EXPECT_EQ(SplitActivityRecords(" \r\n\t"), Records()) << "blank text is no record";
    EXPECT_EQ(SplitActivityRecords("\r\n<activity/>"), Records({"<activity/>"}));
    EXPECT_EQ(SplitActivityRecords("junk<activity a=\"1\"><document/></activity>tail<activity\tb=\"2\"/>"),
              Records({"junk", "<activity a=\"1\"><document/></activity>tail", "<activity\tb=\"2\"/>"}));
    EXPECT_EQ(SplitActivityRecords("<activities><activityx/><activity>x<activity\n<activity"),
              Records({"<activities><activityx/>", "<activity>x", "<activity\n", "<activity"}))
        << "only a tag named activity begins a record";
    EXPECT_EQ(SplitActivityRecords(std::string("<activity\0<activity/>", 21)),
              Records({std::string("<activity\0", 10), "<activity/>"}));
}

TEST(ActivityXml, RemoveAtHandsTheActivityBackAndClearDeletesTheRest) {
    CActivityList list;
    CActivity kept;
    EXPECT_EQ(list.Add(new CActivity), 0);
    EXPECT_EQ(list.Add(&kept), 1);
    list.RemoveAt(1);
    list.RemoveAt(5);
    EXPECT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.GetAt(1), nullptr);
    list.Clear();
    EXPECT_EQ(list.GetCount(), 0);
}

TEST(ActivityXml, GuidStringsAreFreshLowerCaseGuids) {
    std::string strFirst = CreateGuidString();
    std::string strSecond = CreateGuidString();
    std::regex guid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    EXPECT_TRUE(std::regex_match(strFirst, guid)) << strFirst;
    EXPECT_TRUE(std::regex_match(strSecond, guid)) << strSecond;
    EXPECT_NE(strFirst, strSecond);
}
