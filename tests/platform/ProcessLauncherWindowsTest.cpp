// The contract of the system's process launcher on Windows, through its interface only: the child is
// a small program of these tests (launcher_child.exe, beside this one) with one mode per behaviour.
#include "platform/FileAccess.h"
#include "platform/ProcessLauncher.h"
#include "platform/Thread.h"
#include "support/TempFolder.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;
using Platform::IChildProcess;
using ReadResult = Platform::IChildProcess::ReadResult;

namespace {

// Bounds a failure only: nothing here waits for it to pass.
std::chrono::steady_clock::time_point Patience() {
    return std::chrono::steady_clock::now() + std::chrono::seconds(120);
}

std::string ChildProgram() {
    wchar_t szSelf[MAX_PATH];
    DWORD nLength = ::GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
    return (fs::path(std::wstring(szSelf, nLength)).parent_path() / "launcher_child.exe").string();
}

std::unique_ptr<IChildProcess> Start(std::vector<std::string> arguments, bool bWithInput = true,
                                     Platform::CProcessLimits limits = {}) {
    return Platform::SystemProcessLauncher().Start(ChildProgram(), arguments, limits, bWithInput);
}

// The next line, or a text that tells why there was none.
std::string NextLine(IChildProcess& child) {
    std::string strLine;
    switch (child.ReadLine(strLine, Patience())) {
    case ReadResult::Line:
        return strLine;
    case ReadResult::End:
        return "<end>";
    case ReadResult::TimedOut:
        return "<timed out>";
    }
    return "";
}

// True once the process is gone (or its id no longer names a process).
bool EndsWithin(DWORD nProcessId, DWORD nMilliseconds) {
    HANDLE hProcess = ::OpenProcess(SYNCHRONIZE, FALSE, nProcessId);
    if (hProcess == nullptr)
        return true;
    bool bEnded = ::WaitForSingleObject(hProcess, nMilliseconds) == WAIT_OBJECT_0;
    ::CloseHandle(hProcess);
    return bEnded;
}

} // namespace

TEST(ProcessLauncherWindows, LinesTravelBothWaysAndTheExitCodeComesBack) {
    auto pChild = Start({"echo"});
    ASSERT_TRUE(pChild);
    ASSERT_TRUE(pChild->WriteLine("first"));
    EXPECT_EQ(NextLine(*pChild), "got first");
    ASSERT_TRUE(pChild->WriteLine("second \"quoted\" line"));
    EXPECT_EQ(NextLine(*pChild), "got second \"quoted\" line");
    auto pWithoutInput = Start({"echo"}, false);
    ASSERT_TRUE(pWithoutInput);
    EXPECT_FALSE(pWithoutInput->WriteLine("x"));
    EXPECT_EQ(NextLine(*pWithoutInput), "unterminated") << "its input is empty";
    EXPECT_EQ(NextLine(*pWithoutInput), "<end>");
    EXPECT_EQ(pWithoutInput->Wait(), 3);
    pChild.reset();

    auto pEnded = Start({"no-such-mode"});
    ASSERT_TRUE(pEnded);
    EXPECT_EQ(NextLine(*pEnded), "<end>");
    EXPECT_EQ(pEnded->Wait(), 2);
    EXPECT_FALSE(pEnded->WriteLine("too late")) << "a child that ended takes no more lines";
}

// A command line is one text on Windows: every argument must come back as it was given.
TEST(ProcessLauncherWindows, ArgumentsArriveWholeWhateverTheyHoldOf) {
    std::vector<std::string> arguments = {"two words",     "",         "\"quoted\"", "trailing\\",
                                          "back\\\"quote", "tab\there"};
    std::vector<std::string> given = {"args"};
    given.insert(given.end(), arguments.begin(), arguments.end());
    auto pChild = Start(given, false);
    ASSERT_TRUE(pChild);
    for (const std::string& strArgument : arguments)
        EXPECT_EQ(NextLine(*pChild), "[" + strArgument + "]");
    EXPECT_EQ(NextLine(*pChild), "<end>");
}

TEST(ProcessLauncherWindows, RestOfALineCutAtTheMaximumIsNotTakenForANewLine) {
    auto pChild = Start({"long"});
    ASSERT_TRUE(pChild);
    EXPECT_EQ(NextLine(*pChild), std::string(IChildProcess::kMaxLineLength, ' '));
    ASSERT_TRUE(pChild->WriteLine("go"));
    EXPECT_EQ(NextLine(*pChild), "tail") << "the cut line's end came before it";
    EXPECT_EQ(NextLine(*pChild), "next");
    EXPECT_EQ(NextLine(*pChild), "<end>");
}

// Whatever the child started goes with it: a grandchild that survived would hold the output open.
TEST(ProcessLauncherWindows, KillAtTheDeadlineKillsTheWholeTree) {
    auto pChild = Start({"spawn-and-hang"}, false);
    ASSERT_TRUE(pChild);
    std::string strGrandchild = NextLine(*pChild);
    ASSERT_GT(std::atoi(strGrandchild.c_str()), 0) << strGrandchild;
    EXPECT_EQ(NextLine(*pChild), "started") << "the grandchild writes into the same output";
    std::string strLine;
    EXPECT_EQ(pChild->ReadLine(strLine, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)),
              ReadResult::TimedOut);
    EXPECT_EQ(NextLine(*pChild), "<end>") << "nothing of the tree holds the output any more";
    EXPECT_EQ(pChild->Wait(), -1);
    EXPECT_TRUE(EndsWithin(static_cast<DWORD>(std::atoi(strGrandchild.c_str())), 30000));
}

// A worker let go (or an agent that dies) takes what the worker started with it.
TEST(ProcessLauncherWindows, WhatAChildStartedEndsWithTheChild) {
    auto pChild = Start({"spawn-and-hang"}, false);
    ASSERT_TRUE(pChild);
    DWORD nGrandchild = static_cast<DWORD>(std::atoi(NextLine(*pChild).c_str()));
    ASSERT_GT(nGrandchild, 0u);
    pChild.reset();
    EXPECT_TRUE(EndsWithin(nGrandchild, 30000)) << "process " << nGrandchild << " still runs";
}

// The agent ended by force (a crash, the task manager) takes its children with it: the job's last
// handle closes with the agent.
TEST(ProcessLauncherWindows, ChildrenEndWithTheAgentThatStartedThem) {
    auto pAgent = Start({"launch-and-hang"}, false);
    ASSERT_TRUE(pAgent);
    std::string strIds = NextLine(*pAgent);
    DWORD nAgent = 0;
    DWORD nChild = 0;
    ASSERT_EQ(std::sscanf(strIds.c_str(), "%lu %lu", &nAgent, &nChild), 2) << strIds;
    HANDLE hAgent = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, nAgent);
    ASSERT_NE(hAgent, nullptr);
    // The agent alone, not its job.
    EXPECT_TRUE(::TerminateProcess(hAgent, 9));
    ::WaitForSingleObject(hAgent, 30000);
    ::CloseHandle(hAgent);
    EXPECT_TRUE(EndsWithin(nChild, 30000)) << "process " << nChild << " outlived its agent";
}

// The parser run by hand limits itself: a job of its own holds it to the limits.
TEST(ResourceLimitsWindows, ProcessLimitsItselfThroughAJob) {
    auto pChild = Start({"limit-self"}, false);
    ASSERT_TRUE(pChild);
    std::string strLine = NextLine(*pChild);
    if (RunningUnderWine()) {
        // Wine neither enforces a job's memory limit nor reports a process's own job by a null handle.
        std::printf(
            "Wine does not enforce or report job-object limits: only the call's success is checked\n");
        EXPECT_EQ(strLine.rfind("memory ", 0), 0u) << strLine;
    } else {
        EXPECT_EQ(strLine, "memory 67108864 seconds 5 refused");
    }
    EXPECT_EQ(pChild->Wait(), 0);
}

TEST(ProcessLauncherWindows, FaultEndsTheChildWithoutADialogAndReadsAsKilled) {
    auto pChild = Start({"crash"}, false);
    ASSERT_TRUE(pChild);
    EXPECT_EQ(NextLine(*pChild), "crashing");
    // Wine's debugger reports the fault into the output before the child ends.
    std::string strLine;
    while ((strLine = NextLine(*pChild)) != "<end>" && strLine != "<timed out>") {
    }
    EXPECT_EQ(strLine, "<end>");
    EXPECT_EQ(pChild->Wait(), -1);
}

// The parser worker takes the file sent along its line: renamed, replaced or not, it reads what the
// agent holds.
TEST(ProcessLauncherWindows, HeldFileTravelsAlongTheLine) {
    CTempFolder folder;
    fs::create_directories(folder / "hot");
    WriteWholeFile(folder / "hot/job.ps", "held\n");
    Platform::CFileBeneath held;
    ASSERT_EQ(held.Resolve(folder / "hot", "job.ps"), Platform::CFileBeneath::Resolution::Resolved);
    ASSERT_TRUE(held.OpenHeld());
    // Another file takes the name while the agent holds the first: the child reads the one held
    // (Wine still names the handle's file by its old name, so only a read through the handle gets it).
    fs::rename(folder / "hot/job.ps", folder / "hot/gone.ps");
    WriteWholeFile(folder / "hot/job.ps", "replacement\n");
    auto pChild = Start({"files"});
    ASSERT_TRUE(pChild);
    ASSERT_TRUE(pChild->WriteLine("with", &held));
    EXPECT_EQ(NextLine(*pChild), "with: held");
    ASSERT_TRUE(pChild->WriteLine("without"));
    EXPECT_EQ(NextLine(*pChild), "without: <none>");
    // A mark typed by hand that names no file of the child is no file.
    ASSERT_TRUE(pChild->WriteLine("\x01"
                                  "4\x01typed"));
    EXPECT_EQ(NextLine(*pChild), "typed: <none>");
}

// A worker lives for many files: a handle it inherited, such as a file a request was still writing
// when the worker started, would keep that file busy all that time.
TEST(ProcessLauncherWindows, ChildInheritsNoHandleBeyondItsOwn) {
    CTempFolder folder;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE hOpen = ::CreateFileW(fs::path(folder / "open-in-the-agent").wstring().c_str(), GENERIC_WRITE, 0,
                                 &inherit, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(hOpen, INVALID_HANDLE_VALUE);
    auto pChild = Start({"check-handle", std::to_string(reinterpret_cast<uintptr_t>(hOpen))}, false);
    ::CloseHandle(hOpen);
    ASSERT_TRUE(pChild);
    EXPECT_EQ(NextLine(*pChild), "clean");
}

TEST(ProcessLauncherWindows, ProcessorLimitsEndTheChild) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine does not enforce job-object time limits";
    Platform::CProcessLimits processor;
    processor.nCpuSeconds = 1;
    auto pLimited = Start({"spin"}, true, processor);
    ASSERT_TRUE(pLimited && pLimited->WriteLine("go"));
    EXPECT_EQ(NextLine(*pLimited), "<end>");
    EXPECT_EQ(pLimited->Wait(), -1);
    auto pAllowed = Start({"spin"});
    ASSERT_TRUE(pAllowed && pAllowed->AllowCpuTimeFromNow(1) && pAllowed->WriteLine("go"));
    EXPECT_EQ(NextLine(*pAllowed), "<end>") << "the allowance given later binds too";
    EXPECT_EQ(pAllowed->Wait(), -1);
}

TEST(ProcessLauncherWindows, MissingProgramFailsCleanly) {
    CTempFolder folder;
    EXPECT_FALSE(Platform::SystemProcessLauncher().Start(folder / "no-such-program.exe", {}, {}, true));
    EXPECT_EQ(Platform::GetLastError(), ERROR_FILE_NOT_FOUND);
    WriteWholeFile(folder / "not-a-program.exe", "text\n");
    EXPECT_FALSE(Platform::SystemProcessLauncher().Start(folder / "not-a-program.exe", {}, {}, true));
    EXPECT_NE(Platform::GetLastError(), 0);
}
