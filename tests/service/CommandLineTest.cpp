#include "service/CommandLine.h"

#include <gtest/gtest.h>

TEST(CommandLine, SwitchIsRecognisedAsLastWordInAnyCaseAfterDashOrSlash) {
    EXPECT_EQ(FindSwitch("/opt/agent/KlendoHotFolderAgent -RegServer"), AgentSwitch::RegServer);
    EXPECT_EQ(FindSwitch("/opt/agent/KlendoHotFolderAgent /regserver"), AgentSwitch::RegServer);
    EXPECT_EQ(FindSwitch("KlendoHotFolderAgent -SERVICE"), AgentSwitch::Service);
    EXPECT_EQ(FindSwitch("KlendoHotFolderAgent /UnRegServer"), AgentSwitch::UnregServer);
    EXPECT_EQ(FindSwitch("KlendoHotFolderAgent -x -Service"), AgentSwitch::Service);
    EXPECT_EQ(FindSwitch("/opt/agent/KlendoHotFolderAgent -check"), AgentSwitch::Check);
    // Every switch character starts a token of its own, so the second dash still finds the switch.
    EXPECT_EQ(FindSwitch("KlendoHotFolderAgent --Service"), AgentSwitch::Service);
}

TEST(CommandLine, WordAfterSwitchOrSlashInsidePathMatchesNothing) {
    EXPECT_EQ(FindSwitch("KlendoHotFolderAgent -RegServer now"), AgentSwitch::None);
    EXPECT_EQ(FindSwitch("KlendoHotFolderAgent -Service "), AgentSwitch::None);
    EXPECT_EQ(FindSwitch("KlendoHotFolderAgent -Services"), AgentSwitch::None);
    EXPECT_EQ(FindSwitch("/opt/Service"), AgentSwitch::Service);
    EXPECT_EQ(FindSwitch("/opt/Service/KlendoHotFolderAgent"), AgentSwitch::None);
    EXPECT_EQ(FindSwitch("KlendoHotFolderAgent"), AgentSwitch::None);
    EXPECT_EQ(FindSwitch(""), AgentSwitch::None);
    EXPECT_EQ(FindSwitch("-"), AgentSwitch::None);
}

TEST(CommandLine, LongLineOfSwitchCharactersEndsInTheLastToken) {
    std::string strLine(200000, '-');
    EXPECT_EQ(FindSwitch(strLine), AgentSwitch::None);
    EXPECT_EQ(FindSwitch(strLine + "/unregserver"), AgentSwitch::UnregServer);
}

TEST(CommandLine, ArgumentsAreJoinedWithSingleBlanks) {
    const char* arguments[] = {"/opt/a b/KlendoHotFolderAgent", "-x", "", "-Service"};
    EXPECT_EQ(JoinCommandLine(4, arguments), "/opt/a b/KlendoHotFolderAgent -x  -Service");
    EXPECT_EQ(FindSwitch(JoinCommandLine(4, arguments)), AgentSwitch::Service);
    EXPECT_EQ(JoinCommandLine(1, arguments), "/opt/a b/KlendoHotFolderAgent");
}
