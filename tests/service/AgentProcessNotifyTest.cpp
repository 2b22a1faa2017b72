#include "AgentProcess.h"
#include "platform/ServiceHost.h"
#include "support/TempFolder.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

// What systemd receives from a service it started: the states, and a status text that cannot smuggle
// in an assignment of its own.
TEST(ServiceHostNotify, StatesAndStatusReachTheManagerAsSingleAssignments) {
    CTempFolder temp;
    CNotifySocket notify(temp / "notify");
    ASSERT_TRUE(notify.IsOpen());
    ASSERT_EQ(::setenv("NOTIFY_SOCKET", (temp / "notify").c_str(), 1), 0);
    Platform::CServiceHost host;
    EXPECT_TRUE(host.IsStartedByServiceManager());
    host.ReportState(Platform::ServiceState::StartPending);
    host.ReportState(Platform::ServiceState::Running);
    EXPECT_EQ(notify.Receive(60s), "READY=1");
    host.ReportStatus("watching 3 folders\nSTOPPING=1");
    EXPECT_EQ(notify.Receive(60s), "STATUS=watching 3 folders");
    host.ReportState(Platform::ServiceState::StopPending);
    EXPECT_EQ(notify.Receive(60s), "STOPPING=1");
    ::unsetenv("NOTIFY_SOCKET");
}
