#include "Include/StatusReport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Collects the lines a report sends and lets the test wait for one.
class CLineRecorder {
  public:
    CStatusReport::Sink Sink() {
        return [this](const std::string& strLine) {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_lines.push_back(strLine);
            m_changed.notify_all();
        };
    }
    // True once a line containing strText has arrived; the deadline only bounds a failure.
    bool WaitFor(const std::string& strText) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] {
            return !m_lines.empty() && m_lines.back().find(strText) != std::string::npos;
        });
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

} // namespace

TEST(StatusReport, LineCountsPostsArchivesAndPending) {
    CStatusReport report([](const std::string&) {});
    EXPECT_EQ(report.BuildLine(),
              "Folders watched: 0; jobs posted: 0, archived: 0, pending: 0; no successful post yet");
    report.SetWatchedFolders(3);
    report.NotePosted();
    report.NoteArchived();
    report.NoteArchived();
    std::string strLine = report.BuildLine();
    EXPECT_EQ(strLine.substr(0, strLine.find("; last successful post: ")),
              "Folders watched: 3; jobs posted: 1, archived: 2, pending: 2");
    report.SetPending(0, true);
    EXPECT_NE(report.BuildLine().find("pending: 0; last successful post: "), std::string::npos);
}

// An idle agent must stay idle: calls that change nothing (a re-send of an empty archive, the same
// folder count) send no line, whenever they come.
TEST(StatusReport, CallsThatChangeNothingSendNoLine) {
    std::string strLine;
    CStatusReport idle;
    idle.SetWatchedFolders(2);
    ASSERT_TRUE(idle.TakeUnsentLine(strLine));
    idle.SetWatchedFolders(2);
    idle.SetPending(0, true);
    EXPECT_FALSE(idle.TakeUnsentLine(strLine)) << strLine;
    idle.NotePosted();
    ASSERT_TRUE(idle.TakeUnsentLine(strLine));
    EXPECT_NE(strLine.find("jobs posted: 1,"), std::string::npos);

    // The thread sends the first line at once and each change after it.
    CLineRecorder recorder;
    CStatusReport report(recorder.Sink());
    report.SetWatchedFolders(2);
    ASSERT_TRUE(report.Start());
    ASSERT_TRUE(recorder.WaitFor("Folders watched: 2"));
    report.SetWatchedFolders(2);
    report.SetPending(0, true);
    report.NotePosted();
    ASSERT_TRUE(recorder.WaitFor("jobs posted: 1,"));
    report.Stop();
    std::vector<std::string> lines = recorder.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "Folders watched: 2; jobs posted: 0, archived: 0, pending: 0; no successful post yet");
}
