#include "platform/posix/UnitFile.h"

#include <gtest/gtest.h>

TEST(ServiceUnit, ExecutablePathIsWrittenSoSystemdReadsItBack) {
    using Platform::BuildUnitText;
    EXPECT_NE(BuildUnitText("S", "/opt/KlendoHotFolderAgent/KlendoHotFolderAgent")
                  .find("\nExecStart=/opt/KlendoHotFolderAgent/KlendoHotFolderAgent\n"),
              std::string::npos);
    EXPECT_NE(BuildUnitText("S", "/opt/a b/x\"y\\z").find("\nExecStart=\"/opt/a b/x\\\"y\\\\z\"\n"),
              std::string::npos);
    EXPECT_NE(BuildUnitText("S", "/opt/100%/agent").find("\nExecStart=/opt/100%%/agent\n"),
              std::string::npos);
    EXPECT_EQ(BuildUnitText("S", "relative/agent"), "");
    EXPECT_EQ(BuildUnitText("S", "/opt/$HOME/agent"), "");
    EXPECT_EQ(BuildUnitText("S", "/opt/a\tb"), "");
    EXPECT_EQ(BuildUnitText("S", ""), "");
}
