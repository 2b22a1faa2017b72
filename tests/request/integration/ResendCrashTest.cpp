#include "ResendFixture.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* const kSettledName = "/KlendoActivity.settled.dat";

} // namespace

TEST_F(ResendTest, CrashDuringTheArchiveRewriteLosesNothingAndSendsNothingTwice) {
    SReferenceServerOptions alternating;
    alternating.activityStatuses = {"1", "0"};
    StartServer(alternating);
    FillArchive(Ids("c", 6), 64 * 1024);
    const std::string strArchive = Archive();
    pid_t nChild = ::fork();
    if (nChild == 0) {
        // The rewrite of the three records kept goes past this size: the kernel ends the process there.
        struct rlimit noCore = {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        struct rlimit fileSize = {100 * 1024, 100 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &fileSize);
        CPendingActivityResend(m_processing.GetEnvironment(), nullptr).Run();
        ::_exit(0);
    }
    ASSERT_GT(nChild, 0);
    int nStatus = 0;
    ASSERT_EQ(::waitpid(nChild, &nStatus, 0), nChild);
    ASSERT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGXFSZ) << nStatus;
    EXPECT_EQ(Archive(), strArchive) << "the archive is whole after the crash";
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kSettledName), "c0\nc2\nc4\n");

    StartServer();
    SResendOutcome outcome = Resend();
    EXPECT_EQ(outcome.nAcknowledged, 3);
    EXPECT_EQ(Archive(), "");
    std::map<std::string, int> acknowledged = AcknowledgedCounts();
    for (const std::string& strId : Ids("c", 6))
        EXPECT_EQ(acknowledged[strId], 1) << strId;
}
