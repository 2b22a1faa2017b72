// The contract of the system's process launcher, through its interface only: the children are small
// scripts that report what they see as lines.
#include "platform/Environment.h"
#include "platform/FileAccess.h"
#include "platform/ProcessLauncher.h"
#include "platform/Thread.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using Platform::IChildProcess;
using ReadResult = Platform::IChildProcess::ReadResult;

namespace {

// Bounds a failure only: nothing here waits for it to pass.
std::chrono::steady_clock::time_point Patience() {
    return std::chrono::steady_clock::now() + std::chrono::seconds(120);
}

std::string WriteScript(const CTempFolder& folder, const std::string& strName, const std::string& strBody) {
    std::string strPath = folder / strName;
    WriteWholeFile(strPath, "#!/bin/sh\n" + strBody);
    fs::permissions(strPath, fs::perms::owner_all);
    return strPath;
}

std::unique_ptr<IChildProcess> Start(const std::string& strProgram, bool bWithInput = true,
                                     Platform::CProcessLimits limits = {},
                                     std::vector<std::string> arguments = {}) {
    return Platform::RealEnvironment().pLauncher->Start(strProgram, arguments, limits, bWithInput);
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

} // namespace

TEST(ProcessLauncher, LinesTravelBothWaysAndTheExitCodeComesBack) {
    CTempFolder folder;
    auto pChild = Start(WriteScript(folder, "echo",
                                    "read -r a; echo \"got $a\"; read -r b; echo \"got $b\"\n"
                                    "printf 'unterminated'; exit 3\n"));
    ASSERT_TRUE(pChild);
    ASSERT_TRUE(pChild->WriteLine("first"));
    EXPECT_EQ(NextLine(*pChild), "got first");
    ASSERT_TRUE(pChild->WriteLine("second line"));
    EXPECT_EQ(NextLine(*pChild), "got second line");
    EXPECT_EQ(NextLine(*pChild), "unterminated");
    EXPECT_EQ(NextLine(*pChild), "<end>");
    EXPECT_EQ(pChild->Wait(), 3);
    EXPECT_FALSE(pChild->WriteLine("too late")) << "a child that ended takes no more lines";

    auto pWithoutInput = Start(
        WriteScript(folder, "no-input", "if read -r a; then echo \"read $a\"; else echo empty; fi\n"), false);
    ASSERT_TRUE(pWithoutInput);
    EXPECT_FALSE(pWithoutInput->WriteLine("x"));
    EXPECT_EQ(NextLine(*pWithoutInput), "empty");
}

// A line longer than the maximum is cut there; what follows of it, however it arrives, is no line of
// its own (a worker's padding must not smuggle in a progress line, nor an "end").
TEST(ProcessLauncher, RestOfALineCutAtTheMaximumIsNotTakenForANewLine) {
    CTempFolder folder;
    auto pChild =
        Start(WriteScript(folder, "long", "printf '%5000s' x; read -r go; printf 'tail\\nnext\\n'\n"));
    ASSERT_TRUE(pChild);
    EXPECT_EQ(NextLine(*pChild), std::string(IChildProcess::kMaxLineLength, ' '));
    ASSERT_TRUE(pChild->WriteLine("go"));
    EXPECT_EQ(NextLine(*pChild), "next");
    EXPECT_EQ(NextLine(*pChild), "<end>");
}

#ifdef KLENDO_PRINTINFO_PATH
// The parser worker takes the file sent along its line: renamed, replaced or not, it parses what the
// agent holds.
TEST(ProcessLauncher, HeldFileTravelsAlongTheLine) {
    CTempFolder folder;
    fs::create_directories(folder / "hot");
    WriteWholeFile(folder / "hot/job.ps", "%!PS-Adobe-3.0\n%%Pages: 3\n%%EOF\n");
    Platform::CFileBeneath held;
    ASSERT_EQ(held.Resolve(folder / "hot", "job.ps"), Platform::CFileBeneath::Resolution::Resolved);
    ASSERT_TRUE(held.OpenHeld());
    fs::rename(folder / "hot/job.ps", folder / "hot/gone.ps");
    WriteWholeFile(folder / "hot/job.ps", "%!PS-Adobe-3.0\n%%Pages: 7\n%%EOF\n");
    auto pWorker = Start(KLENDO_PRINTINFO_PATH, true, {}, {"--agent-worker"});
    ASSERT_TRUE(pWorker);
    ASSERT_TRUE(pWorker->WriteLine(folder / "hot/job.ps", &held));
    std::string strLast;
    for (std::string strLine = NextLine(*pWorker); strLine != "end" && strLine[0] != '<';
         strLine = NextLine(*pWorker))
        strLast = strLine;
    EXPECT_EQ(strLast.rfind("pages=3 ", 0), 0u) << strLast;
}
#endif

// Whatever the child started goes with it: a grandchild that survived would hold the output open.
TEST(ProcessLauncher, KillAtTheDeadlineKillsTheWholeTree) {
    CTempFolder folder;
    auto pChild = Start(WriteScript(folder, "tree", "sleep 600 &\necho started\nwait\n"), false);
    ASSERT_TRUE(pChild);
    ASSERT_EQ(NextLine(*pChild), "started");
    std::string strLine;
    EXPECT_EQ(pChild->ReadLine(strLine, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)),
              ReadResult::TimedOut);
    EXPECT_EQ(NextLine(*pChild), "<end>") << "nothing of the tree holds the output any more";
    EXPECT_EQ(pChild->Wait(), -1);
}

TEST(ProcessLauncher, MemoryAndProcessorLimitsEndTheChild) {
    CTempFolder folder;
    // The shell keeps the whole text in its memory.
    std::string strHog =
        WriteScript(folder, "hog", "x=$(head -c \"$1\" /dev/zero | tr '\\0' a)\necho kept ${#x}\n");
    Platform::CProcessLimits memory;
    memory.nMemoryBytes = 64ull * 1024 * 1024;
    auto pSmall = Start(strHog, false, memory, {"1000"});
    ASSERT_TRUE(pSmall);
    EXPECT_EQ(NextLine(*pSmall), "kept 1000");
    auto pLarge = Start(strHog, false, memory, {"200000000"});
    ASSERT_TRUE(pLarge);
    EXPECT_EQ(NextLine(*pLarge), "<end>");
    EXPECT_NE(pLarge->Wait(), 0);

    std::string strSpin = WriteScript(folder, "spin", "read -r line\nwhile :; do :; done\n");
    Platform::CProcessLimits processor;
    processor.nCpuSeconds = 1;
    auto pLimited = Start(strSpin, true, processor);
    ASSERT_TRUE(pLimited && pLimited->WriteLine("go"));
    EXPECT_EQ(NextLine(*pLimited), "<end>");
    EXPECT_EQ(pLimited->Wait(), -1);
    auto pAllowed = Start(strSpin);
    ASSERT_TRUE(pAllowed && pAllowed->AllowCpuTimeFromNow(1) && pAllowed->WriteLine("go"));
    EXPECT_EQ(NextLine(*pAllowed), "<end>") << "the allowance given later binds too";
    EXPECT_EQ(pAllowed->Wait(), -1);
}

// A worker lives for many files: a descriptor it inherited, such as a file a request was still
// writing when the worker started, would stay open and keep that file busy all that time.
TEST(ParserWorkers, WorkerInheritsNoDescriptorOpenWithoutCloseOnExec) {
    CTempFolder folder;
    std::FILE* pOpen = std::fopen((folder / "open-in-the-agent").c_str(), "w");
    ASSERT_NE(pOpen, nullptr);
    auto pChild = Start(WriteScript(folder, "fds",
                                    "if ls -l /proc/$$/fd | grep -q open-in-the-agent; then echo inherited;"
                                    " else echo clean; fi\n"),
                        false);
    std::fclose(pOpen);
    ASSERT_TRUE(pChild);
    EXPECT_EQ(NextLine(*pChild), "clean");
}

// The agent ignores SIGXFSZ so that its own writes fail as errors, and blocks its stop signals for the
// thread that takes them; a child inherits neither, or a runaway parse would write on instead of dying
// of its limit, and a kill would not end it.
TEST(ParserWorkers, WorkerDiesOfItsOwnLimitsWhateverTheAgentIgnores) {
    CTempFolder folder;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous = {};
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    sigset_t stopSignals;
    sigset_t previousMask;
    ::sigemptyset(&stopSignals);
    ::sigaddset(&stopSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
    auto pChild = Start(WriteScript(folder, "limits",
                                    "(ulimit -f 1; head -c 100000 /dev/zero > '" + (folder / "big") +
                                        "'); echo $?\nkill -TERM $$\necho survived\n"),
                        false);
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    ASSERT_TRUE(pChild);
    EXPECT_EQ(NextLine(*pChild), std::to_string(128 + SIGXFSZ)) << "the writer ended by the signal";
    EXPECT_EQ(NextLine(*pChild), "<end>") << "the stop signal ended the child";
}

TEST(ProcessLauncher, MissingOrUnrunnableProgramFailsCleanly) {
    CTempFolder folder;
    EXPECT_FALSE(Start(folder / "no-such-program"));
    EXPECT_NE(Platform::GetLastError(), 0);
    WriteWholeFile(folder / "not-executable", "#!/bin/sh\necho ran\n");
    EXPECT_FALSE(Start(folder / "not-executable"));
    EXPECT_NE(Platform::GetLastError(), 0);
}

namespace {

// True once the process no longer runs (gone, or a zombie waiting for its new parent).
bool EndsWithin(const std::string& strProcess, std::chrono::seconds patience) {
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string strStat = ReadWholeFile("/proc/" + strProcess + "/stat");
        size_t nEnd = strStat.rfind(')');
        if (strStat.empty() || (nEnd != std::string::npos && strStat.compare(nEnd + 2, 1, "Z") == 0))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace

// Waiting for a child reaps it; what it started must not outlive it in its group, or a hung helper
// of a parser would stay running after the agent let its worker go.
TEST(ProcessLauncher, WhatAChildStartedEndsWithItsWaitToo) {
    CTempFolder folder;
    auto pChild = Start(WriteScript(folder, "leaver", "sleep 600 &\necho $!\nexit 3\n"), false);
    ASSERT_TRUE(pChild);
    std::string strBackground = NextLine(*pChild);
    ASSERT_FALSE(strBackground.empty());
    EXPECT_EQ(pChild->Wait(), 3);
    pChild.reset();
    EXPECT_TRUE(EndsWithin(strBackground, std::chrono::seconds(30)))
        << "sleep " << strBackground << " still runs";
}

// An agent started with SIGCHLD ignored (some service wrappers do that) must still learn how its
// children ended: the kernel would otherwise reap them before the agent could.
TEST(ProcessLauncher, ExitCodeComesBackEvenWhenTheAgentInheritedAnIgnoredChildSignal) {
    CTempFolder folder;
    std::string strScript = WriteScript(folder, "three", "exit 3\n");
    pid_t nTester = ::fork();
    if (nTester == 0) {
        ::signal(SIGCHLD, SIG_IGN);
        auto pChild = Start(strScript, false);
        ::_exit(pChild && pChild->Wait() == 3 ? 0 : 1);
    }
    ASSERT_GT(nTester, 0);
    int nStatus = 0;
    ASSERT_EQ(::waitpid(nTester, &nStatus, 0), nTester);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
}
