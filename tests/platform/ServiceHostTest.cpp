#include "platform/ServiceHost.h"

#include <future>
#include <gtest/gtest.h>
#include <thread>

using Platform::CServiceHost;
using Platform::StopReason;

// A stop requested before the wait, even before the stop control was taken over, is not lost.
TEST(ServiceHost, StopRequestedBeforeOpenAndWaitIsKept) {
    CServiceHost host;
    host.RequestStop();
    ASSERT_TRUE(host.Open());
    EXPECT_EQ(host.WaitForStop(), StopReason::Requested);
}

TEST(ServiceHost, StopFromAnotherThreadEndsTheWaitOnceEach) {
    CServiceHost host;
    ASSERT_TRUE(host.Open());
    for (int i = 0; i < 2; ++i) {
        std::future<StopReason> waited =
            std::async(std::launch::async, [&host] { return host.WaitForStop(); });
        std::thread([&host] { host.RequestStop(); }).join();
        EXPECT_EQ(waited.get(), StopReason::Requested);
    }
}

// Without a service manager the reports go nowhere, and hostile status text does no harm.
TEST(ServiceHost, ReportsWithoutServiceManagerAreHarmless) {
    CServiceHost host;
    if (host.IsStartedByServiceManager())
        GTEST_SKIP() << "the tests run under a service manager: these reports would reach it";
    host.ReportState(Platform::ServiceState::Running);
    host.ReportStatus("watching 3 folders\nREADY=1 %s %n");
    host.ReportState(Platform::ServiceState::StopPending);
    host.RequestStop();
    EXPECT_EQ(host.WaitForStop(), StopReason::Requested);
}
