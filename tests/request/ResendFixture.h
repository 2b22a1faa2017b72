#pragma once

#include "PipelineFixture.h"

#include "Include/StringUtil.h"
#include "activity/KlendoActivityParser.h"
#include "request/PendingActivityResend.h"
#include "request/PendingActivitySender.h"

#include <chrono>
#include <map>

// The pipeline's fixture with its pending activity sender running for the test's archive. Its timer
// runs on the fixture's fake clock, so re-sends happen when a test asks for them (an acknowledged
// post, a Kick, an advance of the clock) and tests wait for them instead of sleeping.
class ResendTest : public PipelineTest {
  protected:
    static constexpr std::chrono::seconds kDeadline{60};

    void TearDown() override {
        m_sender.Stop();
        PipelineTest::TearDown();
    }

    // Posts may wait this long for a slow server, where the fixture gives them less; before StartSender.
    void SetTotalTimeout(std::chrono::milliseconds total) {
        CRequestEnvironment environment = m_processing.GetEnvironment();
        environment.http.totalTimeout = total;
        m_processing.SetEnvironment(environment);
    }

    // Moves the fake clock on once the sender's timer waits on it.
    void AdvanceTimer(std::chrono::milliseconds by) {
        ASSERT_TRUE(m_clock.WaitForWaiters(1)) << "the sender's timer does not wait";
        m_clock.Advance(by.count());
    }

    void StartSender() { m_sender.Start(m_processing.GetEnvironment()); }

    // Runs the pipeline for one dropped file, then waits for the re-send its acknowledged post asked for.
    int Handle(const std::string& strName, std::string* pId = nullptr) {
        Drop(strName);
        CFileRequestHandler handler(Request(strName), m_processing);
        int nResult = handler.HandleRequest();
        if (pId != nullptr)
            *pId = handler.GetActivity().m_strId;
        EXPECT_TRUE(m_sender.WaitUntilIdle(kDeadline));
        return nResult;
    }

    // One re-send on the test's thread, without the sender.
    SResendOutcome Resend() { return CPendingActivityResend(m_processing.GetEnvironment(), nullptr).Run(); }

    // Fills the archive with one record per id, as the agent archives them; notes make each one
    // nBytes long or more.
    void FillArchive(const std::vector<std::string>& ids, size_t nBytes = 0) {
        std::string strText;
        for (const std::string& strId : ids)
            strText += ArchivedRecord(strId, nBytes);
        WriteWholeFile(m_strArchiveFolder + "/KlendoActivity.dat", StoredForm(strText));
    }

    static std::string ArchivedRecord(const std::string& strId, size_t nBytes = 0) {
        CActivity activity;
        activity.m_strId = strId;
        activity.m_strType = "Print";
        activity.m_document.m_strName = strId + ".pdf";
        while (activity.m_billing.m_strNotes.size() < nBytes)
            activity.m_billing.m_strNotes += "a note line\n";
        return CKlendoActivityParser().BuildActivityXML(activity);
    }

    static std::string StoredForm(const std::string& strText) { return ReplaceAll(strText, "\n", "\r\n"); }

    static std::vector<std::string> Ids(const std::string& strPrefix, int nCount) {
        std::vector<std::string> ids;
        for (int i = 0; i < nCount; ++i)
            ids.push_back(strPrefix + std::to_string(i));
        return ids;
    }

    // How often the server took each id (verdict "1"). Each stored row begins with its "seq"; its
    // first "id" and "verdict" are the row's own (its attributes repeat the id).
    std::map<std::string, int> AcknowledgedCounts() const {
        std::map<std::string, int> counts;
        std::string strJson = Stored();
        const std::string strRow = "{\"seq\":";
        const std::string strIdField = "\"id\":\"";
        const std::string strVerdictField = "\"verdict\":\"";
        for (size_t nRow = strJson.find(strRow); nRow != std::string::npos;
             nRow = strJson.find(strRow, nRow + 1)) {
            size_t nIdStart = strJson.find(strIdField, nRow) + strIdField.size();
            std::string strId = strJson.substr(nIdStart, strJson.find('"', nIdStart) - nIdStart);
            size_t nVerdict = strJson.find(strVerdictField, nIdStart);
            if (nVerdict != std::string::npos &&
                strJson.compare(nVerdict + strVerdictField.size(), 2, "1\"") == 0)
                ++counts[strId];
        }
        return counts;
    }

    long Posts() const { return m_pServer ? m_pServer->GetPostCount() : 0; }

    bool WaitForPosts(long nPosts) const { return m_pServer && m_pServer->WaitForPosts(nPosts, kDeadline); }
};
