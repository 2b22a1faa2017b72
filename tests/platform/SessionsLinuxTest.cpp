#include "platform/Accounts.h"
#include "platform/Thread.h"
#include "platform/posix/SessionRecords.h"
#include "support/TempFolder.h"

#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>
#include <utmp.h>

namespace {

std::string Record(short nType, int nProcess, const std::string& strUser) {
    struct utmp record;
    std::memset(&record, 0, sizeof(record));
    record.ut_type = nType;
    record.ut_pid = nProcess;
    std::strncpy(record.ut_user, strUser.c_str(), sizeof(record.ut_user));
    return std::string(reinterpret_cast<const char*>(&record), sizeof(record));
}

// Above the highest process id the kernel ever hands out, so no process has it.
constexpr int kEndedProcess = 0x3fffffff;

} // namespace

// Only a live user session counts: boot records, empty names and sessions of ended logins are skipped.
TEST(SessionRecords, FirstLiveUserSessionIsTaken) {
    CTempFolder temp;
    WriteWholeFile(temp / "utmp", Record(BOOT_TIME, 0, "reboot") + Record(USER_PROCESS, ::getpid(), "") +
                                      Record(USER_PROCESS, kEndedProcess, "crashed") +
                                      Record(USER_PROCESS, ::getpid(), "alice") +
                                      Record(USER_PROCESS, ::getpid(), "bob"));
    std::string strUser;
    EXPECT_TRUE(Platform::ReadFirstSessionUser(temp / "utmp", strUser));
    EXPECT_EQ(strUser, "alice");
}

TEST(SessionRecords, NoSessionAndUnreadableRecordsAreTold) {
    CTempFolder temp;
    WriteWholeFile(temp / "utmp", Record(BOOT_TIME, 0, "reboot") + "torn");
    std::string strUser = "stale";
    EXPECT_FALSE(Platform::ReadFirstSessionUser(temp / "utmp", strUser));
    EXPECT_EQ(strUser, "");
    EXPECT_EQ(Platform::GetLastError(), 0) << "read, but no session";
    EXPECT_FALSE(Platform::ReadFirstSessionUser(temp / "missing", strUser));
    EXPECT_NE(Platform::GetLastError(), 0);
}
