#include "Include/LogFile.h"
#include "platform/Thread.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& strContent) {
    std::vector<std::string> lines;
    std::istringstream stream(strContent);
    for (std::string strLine; std::getline(stream, strLine);)
        lines.push_back(strLine);
    return lines;
}

struct OpenLog {
    explicit OpenLog(const std::string& strPath, unsigned int nLevel = 254) {
        log.Open(strPath);
        log.SetTraceLevel(nLevel, true);
    }
    CLogFile log;
};

} // namespace

TEST(LogFile, BannerLineFormatAndClosingLine) {
    CTempFolder folder;
    std::string strPath = folder / "KlendoHotFolderAgent.log";
    {
        OpenLog open(strPath);
        open.log.Trace("--I: thread pool created %s", "successfully");
        open.log.Trace("two\nlines");
    }
    std::vector<std::string> lines = Lines(ReadWholeFile(strPath));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex(R"([A-Z][a-z]+day, [A-Z][a-z]+ \d\d, \d{4} \d\d:\d\d:\d\d )"
                                              R"(Application Started\.{49}\r)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex(R"( *\d+ \d\d/\d\d \d\d:\d\d:\d\d --I: thread pool created successfully\r)")))
        << lines[1];
    EXPECT_EQ(lines[2].find("two"), lines[2].size() - 3) << "an embedded line feed is written unchanged";
    EXPECT_EQ(lines[3], "lines\r");
    EXPECT_NE(lines[4].find(" CLogFile::Close - INFORMATION- Closing the LOG file ..\r"), std::string::npos);
}

// A fresh container hands out thread ids below 1000; they are padded with blanks to four
// characters, never zero-filled, and a longer id widens the field.
TEST(LogFile, ThreadIdBelowOneThousandIsPaddedWithBlanksToFourCharacters) {
    CTempFolder folder;
    std::string strPath = folder / "KlendoHotFolderAgent.log";
    {
        OpenLog open(strPath);
        open.log.Trace("--I: probe");
    }
    std::string strId = std::to_string(Platform::GetThreadId());
    std::string strField = std::string(strId.size() < 4 ? 4 - strId.size() : 0, ' ') + strId + " ";
    std::vector<std::string> lines = Lines(ReadWholeFile(strPath));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(0, strField.size()), strField) << lines[1];
}

TEST(LogFile, AppendsAcrossRunsAndWritesNothingWhenDisabledOrClosed) {
    CTempFolder folder;
    std::string strPath = folder / "a.log";
    {
        CLogFile log;
        log.Trace("before open");
        log.Open(strPath);
        log.Trace("open but not enabled");
        log.SetTraceLevel(254, true);
        log.Trace("first run");
        log.Close();
        log.Trace("after close");
    }
    {
        OpenLog open(strPath);
        open.log.Trace("second run");
    }
    std::string strContent = ReadWholeFile(strPath);
    EXPECT_EQ(strContent.find("before open"), std::string::npos);
    EXPECT_EQ(strContent.find("open but not enabled"), std::string::npos);
    EXPECT_EQ(strContent.find("after close"), std::string::npos);
    EXPECT_NE(strContent.find("first run"), std::string::npos);
    EXPECT_NE(strContent.find("second run"), std::string::npos);
    EXPECT_EQ(Lines(strContent).size(), 6u) << "two banners, two messages, two closing lines";
}

TEST(LogFile, TraceDetailNeedsLevelTen) {
    CTempFolder folder;
    {
        OpenLog nine(folder / "nine.log", 9);
        nine.log.TraceDetail("detail at nine");
        OpenLog ten(folder / "ten.log", 10);
        ten.log.TraceDetail("detail at ten");
    }
    EXPECT_EQ(ReadWholeFile(folder / "nine.log").find("detail"), std::string::npos);
    EXPECT_NE(ReadWholeFile(folder / "ten.log").find("detail at ten"), std::string::npos);
}

TEST(LogFile, LogCallsWithoutALogDoNothing) {
    ASSERT_EQ(g_pLogFile.load(), nullptr);
    LogTrace("nobody listens %d", 1);
    LogTraceDetail("nobody listens %d", 2);
}

TEST(LogFile, RollsOverOnlyPastFourMebibytes) {
    CTempFolder folder;
    std::string strPath = folder / "KlendoHotFolderAgent.log";
    WriteWholeFile(strPath, std::string(4194304, 'x'));
    {
        OpenLog open(strPath);
        // The banner pushed the file past the limit: this line rolls over and starts the new file.
        open.log.Trace("first line of the new file");
    }
    std::vector<std::string> lines = Lines(ReadWholeFile(strPath));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("first line of the new file"), std::string::npos);
    size_t nEntries = std::distance(std::filesystem::directory_iterator(folder.Path()), {});
    EXPECT_EQ(nEntries, 1u) << "the rolled file is deleted";
}

TEST(LogFile, FileOfExactlyTheLimitIsNotRolledOver) {
    CTempFolder folder;
    std::string strPath = folder / "KlendoHotFolderAgent.log";
    CLogFile log;
    log.Open(strPath);
    log.SetTraceLevel(254, true);
    // Fill up to exactly 4194304 bytes with one line, then log once more: no roll-over.
    size_t nPrefix = ReadWholeFile(strPath).size();
    log.Trace("probe");
    size_t nProbeLine = std::filesystem::file_size(strPath) - nPrefix;
    size_t nFill = 4194304 - std::filesystem::file_size(strPath) - (nProbeLine - 5);
    log.Trace("%s", std::string(nFill, 'y').c_str());
    ASSERT_EQ(std::filesystem::file_size(strPath), 4194304u);
    log.Trace("still the old file");
    EXPECT_GT(std::filesystem::file_size(strPath), 4194304u);
    log.Trace("rolls over");
    EXPECT_LT(std::filesystem::file_size(strPath), 200u);
}

TEST(LogFile, RolledNameReplacesEveryDotLogAndCountsUp) {
    CTempFolder folder;
    std::time_t now = std::time(nullptr);
    char szDate[16];
    std::strftime(szDate, sizeof(szDate), "%Y%m%d", std::localtime(&now));
    std::string strDate = szDate;
    std::string strPath = folder / "x.logs/Agent.log";
    std::filesystem::create_directory(folder / "x.logs");
    // Every ".log" of the path is replaced, the folder's too, so the first roll-over moves the file
    // into "x_<date>_1.tmps"; the second finds no "x_<date>_2.tmps", its move fails and the file
    // stays in place and keeps growing.
    std::filesystem::create_directory(folder / ("x_" + strDate + "_1.tmps"));
    CLogFile log(CLogFile::RolledFile::Keep);
    log.Open(strPath);
    log.SetTraceLevel(254, true);
    g_nRollOverCount = 1;
    std::string strBig(4194305, 'z');
    log.Trace("%s", strBig.c_str());
    log.Trace("new file");
    EXPECT_TRUE(std::filesystem::exists(folder / ("x_" + strDate + "_1.tmps/Agent_" + strDate + "_1.tmp")));
    log.Trace("%s", strBig.c_str());
    log.Trace("move fails");
    EXPECT_EQ(g_nRollOverCount, 3);
    EXPECT_NE(ReadWholeFile(strPath).find("move fails"), std::string::npos);
}

TEST(LogFile, EightThreadsThroughSeveralRollOversLoseNoLine) {
    CTempFolder folder;
    std::string strPath = folder / "KlendoHotFolderAgent.log";
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 6000;
    {
        CLogFile log(CLogFile::RolledFile::Keep);
        log.Open(strPath);
        log.SetTraceLevel(254, true);
        std::vector<std::thread> threads;
        std::string strPadding(1000, 'p');
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kLinesPerThread; ++i)
                    log.Trace("T%d L%d %s", t, i, strPadding.c_str());
            });
        for (auto& thread : threads)
            thread.join();
    }
    std::set<std::string> seen;
    int nFiles = 0;
    std::regex linePattern(R"( *\d+ \d\d/\d\d \d\d:\d\d:\d\d (T\d+ L\d+) p{1000}\r)");
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        ++nFiles;
        for (const std::string& strLine : Lines(ReadWholeFile(entry.path().string()))) {
            std::smatch match;
            if (std::regex_match(strLine, match, linePattern))
                EXPECT_TRUE(seen.insert(match[1]).second) << "duplicate " << match[1];
            else
                EXPECT_TRUE(strLine.find("Application Started") != std::string::npos ||
                            strLine.find("Closing the LOG file") != std::string::npos)
                    << "split or foreign line: " << strLine.substr(0, 80);
        }
        EXPECT_LE(std::filesystem::file_size(entry.path()), 4194304u + 1200u);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLinesPerThread));
    EXPECT_GE(nFiles, 4);
}

TEST(LogFileHelpers, SplitPathParts) {
    EXPECT_EQ(SplitPath(NativePath("/opt/agent/Klendo.exe"), 0), "Klendo.exe");
    EXPECT_EQ(SplitPath(NativePath("/opt/agent/Klendo.exe"), 1), "Klendo");
    EXPECT_EQ(SplitPath(NativePath("/opt/agent/Klendo.exe"), 2), "exe");
    EXPECT_EQ(SplitPath(NativePath("/opt/agent/Klendo.exe"), 3), NativePath("/opt/agent"));
    EXPECT_EQ(SplitPath(NativePath("/opt/agent/Klendo.exe"), 4), NativePath("/opt/agent/Klendo"));
    EXPECT_EQ(SplitPath(NativePath("/opt/agent/Klendo.exe"), 5), "");
    EXPECT_EQ(SplitPath(NativePath("/opt/a.b/Klendo"), 1), "") << "a full stop in a folder name";
    EXPECT_EQ(SplitPath("Klendo", 0), "Klendo");
    EXPECT_EQ(SplitPath("Klendo", 1), "Klendo");
    EXPECT_EQ(SplitPath("Klendo", 2), "Klendo");
    EXPECT_EQ(SplitPath("Klendo", 3), "");
    EXPECT_EQ(SplitPath("Klendo", 4), "");
}

// Windows takes "/" as a separator too: a relative name written with it splits and joins as one
// written with "\\".
TEST(LogFileHelpers, ForwardSlashSeparatesOnWindowsOnly) {
#ifdef _WIN32
    EXPECT_EQ(SplitPath("queue/ppr0042.tmp", 3), "queue");
    EXPECT_EQ(SplitPath("queue/ppr0042.tmp", 0), "ppr0042.tmp");
    EXPECT_EQ(JoinPath("C:\\dst/", "a.prn"), "C:\\dst/a.prn");
    EXPECT_EQ(JoinPath("C:\\dst", "a.prn"), "C:\\dst\\a.prn");
#else
    EXPECT_EQ(SplitPath("queue\\ppr0042.tmp", 3), "") << "a backslash is part of a Linux name";
    EXPECT_EQ(JoinPath("/dst/", "a.prn"), "/dst/a.prn");
#endif
}

TEST(LogFileHelpers, FileExistsAndDeleteFileIfExists) {
    CTempFolder folder;
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(FileExists("///"));
    EXPECT_TRUE(FileExists(folder.Path() + "//"));
    std::string strFile = folder / "f.txt";
    EXPECT_FALSE(FileExists(strFile));
    EXPECT_TRUE(DeleteFileIfExists(strFile)) << "a missing file counts as deleted";
    EXPECT_TRUE(DeleteFileIfExists(""));
    WriteWholeFile(strFile, "x");
    EXPECT_TRUE(FileExists(strFile));
    EXPECT_TRUE(DeleteFileIfExists(strFile));
    EXPECT_FALSE(FileExists(strFile));
}
