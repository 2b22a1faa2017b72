#include "Include/LogFile.h"
#include "config/AgentSettings.h"
#include "config/IniFile.h"
#include "config/SettingsFile.h"

#include <gtest/gtest.h>

namespace {

struct FolderArray {
    ~FolderArray() {
        for (CHotFolderInfo* pFolder : folders)
            delete pFolder;
    }
    std::vector<CHotFolderInfo*> folders;
};

} // namespace

TEST_F(SettingsFile, MissingFileGivesDefaults) {
    CAgentSettings settings = Settings();
    EXPECT_EQ(settings.GetHotFolderCount(), 0);
    EXPECT_EQ(settings.GetServerAddress(), "localhost");
    EXPECT_EQ(settings.GetServerPort(), 80);
    FolderArray array;
    EXPECT_EQ(settings.GetHotFolders(array.folders), 0);
    EXPECT_TRUE(array.folders.empty());
}

TEST_F(SettingsFile, HotFolderTableReadsOnlyIndexesOneToCount) {
    Write("[configuration]\r\nhotfoldercount=2\r\nserveraddress=acct.example\r\nserverport=8080\r\n"
          "[hotfolder_0]\r\nsource=/never\r\n"
          "[hotfolder_1]\r\nsource=/hot/a\r\ndestination=/dst/a\r\ndevicename=Printer A\r\n"
          "halfsize=1\r\ncopies=0\r\ntype=uls\r\nusernamefrom=owner\r\n"
          "[hotfolder_3]\r\nsource=/never\r\n");
    CAgentSettings settings = Settings();
    EXPECT_EQ(settings.GetServerAddress(), "acct.example");
    EXPECT_EQ(settings.GetServerPort(), 8080);
    FolderArray array;
    ASSERT_EQ(settings.GetHotFolders(array.folders), 1);
    ASSERT_EQ(array.folders.size(), 2u);
    const CHotFolderInfo& first = *array.folders[0];
    EXPECT_EQ(first.source, "/hot/a");
    EXPECT_EQ(first.destination, "/dst/a");
    EXPECT_EQ(first.devicename, "Printer A");
    EXPECT_EQ(first.halfsize, 1);
    EXPECT_EQ(first.copies, 0) << "copies is taken as read, without correction";
    EXPECT_TRUE(first.IsTicketFolder());
    EXPECT_EQ(first.usernamefrom, "owner");
    const CHotFolderInfo& second = *array.folders[1];
    EXPECT_EQ(second.source, "");
    EXPECT_EQ(second.halfsize, 0);
    EXPECT_EQ(second.copies, 1);
    EXPECT_FALSE(second.IsTicketFolder());
}

TEST_F(SettingsFile, HalfsizeIsOneOnlyForOne) {
    Write("[configuration]\nhotfoldercount=3\n[hotfolder_1]\nhalfsize=2\n[hotfolder_2]\nhalfsize=yes\n"
          "[hotfolder_3]\nhalfsize= 1 \n");
    FolderArray array;
    Settings().GetHotFolders(array.folders);
    ASSERT_EQ(array.folders.size(), 3u);
    EXPECT_EQ(array.folders[0]->halfsize, 0);
    EXPECT_EQ(array.folders[1]->halfsize, 0);
    EXPECT_EQ(array.folders[2]->halfsize, 1);
}

TEST_F(SettingsFile, HostileHotFolderCountIsBounded) {
    Write("[configuration]\nhotfoldercount=2000000000\n");
    FolderArray array;
    Settings().GetHotFolders(array.folders);
    EXPECT_EQ(array.folders.size(), static_cast<size_t>(CAgentSettings::kMaxHotFolders));
    Write("[configuration]\nhotfoldercount=-5\n");
    FolderArray negative;
    EXPECT_EQ(Settings().GetHotFolders(negative.folders), 0);
}

TEST_F(SettingsFile, ReaderFollowsTheWindowsProfileRules) {
    Write("\xEF\xBB\xBF"
          "; comment line\n"
          "[ Configuration ]\n"
          "  ServerAddress  =  \"quoted host\"  \n"
          "#hash=is a key, not a comment\n"
          "single='one pair'\n"
          "mismatched=\"left only\n"
          "doubled=\"\"inner\"\"\n"
          "novalue\n"
          "dup=first\n"
          "dup=second\n"
          "empty=\n"
          "\t;indented=comment\n"
          "[configuration]\n"
          "late=ignored: only the first section of a name is read\n");
    CIniFile ini = Ini();
    EXPECT_EQ(ini.GetString("CONFIGURATION", "serveraddress", "d"), "quoted host");
    EXPECT_EQ(ini.GetString("configuration", "#hash", "d"), "is a key, not a comment");
    EXPECT_EQ(ini.GetString("configuration", "single", "d"), "one pair");
    EXPECT_EQ(ini.GetString("configuration", "mismatched", "d"), "\"left only");
    EXPECT_EQ(ini.GetString("configuration", "doubled", "d"), "\"inner\"");
    EXPECT_EQ(ini.GetString("configuration", "novalue", "d"), "d");
    EXPECT_EQ(ini.GetString("configuration", "dup", "d"), "first");
    EXPECT_EQ(ini.GetString("configuration", "empty", "d"), "");
    EXPECT_EQ(ini.GetString("configuration", ";indented", "d"), "d");
    EXPECT_EQ(ini.GetString("configuration", "late", "d"), "d");
    EXPECT_EQ(ini.GetString("missing", "serveraddress", "d"), "d");
}

TEST_F(SettingsFile, LongValuesAreCutAt1023Characters) {
    Write("[s]\nlong=" + std::string(2000, 'v') + "\n");
    EXPECT_EQ(Ini().GetString("s", "long", ""), std::string(1023, 'v'));
}

TEST_F(SettingsFile, IntegersAreReadLikeGetPrivateProfileInt) {
    Write("[s]\ndec=  42abc\nneg=-17\nplus=+8\nhex=0x1F\nHEX=0XfF\nword=yes\nempty=\nbig=99999999999\n");
    CIniFile ini = Ini();
    EXPECT_EQ(ini.GetInt("s", "dec", 7), 42);
    EXPECT_EQ(ini.GetInt("s", "neg", 7), -17);
    EXPECT_EQ(ini.GetInt("s", "plus", 7), 8);
    EXPECT_EQ(ini.GetInt("s", "hex", 7), 31);
    EXPECT_EQ(ini.GetInt("s", "HEX", 7), 31) << "first occurrence of the key, compared without case";
    EXPECT_EQ(ini.GetInt("s", "word", 7), 0);
    EXPECT_EQ(ini.GetInt("s", "empty", 7), 7);
    EXPECT_EQ(ini.GetInt("s", "missing", 7), 7);
    EXPECT_EQ(ini.GetInt("s", "big", 7), static_cast<int>(99999999999ULL & 0xFFFFFFFFu))
        << "wraps, no overflow";
}

TEST_F(SettingsFile, LineEndingsAndCutLines) {
    Write("[s]\r\nkey=crlf value\r\n[t]\nkey=lf value");
    EXPECT_EQ(Ini().GetString("s", "key", ""), "crlf value");
    EXPECT_EQ(Ini().GetString("t", "key", ""), "lf value") << "a last line without line end";
}

// The settings check relies on seeing what the reader sees: the same names, trimmed, after a byte
// order mark, and nothing from comments, lines without "=" or lines before the first section.
TEST_F(SettingsFile, SectionListShowsEveryNameTheReaderWouldMatch) {
    Write("\xEF\xBB\xBF"
          "orphan=1\r\n[ configuration ]\r\n  hotFolderCount = 1\r\n;sorce=x\r\nno equals sign\r\n"
          "[hotfolder_1]\r\nsorce=/srv/in\r\n[configuration]\r\nserverport=81\r\n");
    std::vector<CIniFile::SSection> sections = Ini().ListSections();
    ASSERT_EQ(sections.size(), 3u);
    EXPECT_EQ(sections[0].strName, "configuration");
    EXPECT_EQ(sections[0].keys, std::vector<std::string>{"hotFolderCount"});
    EXPECT_EQ(sections[1].strName, "hotfolder_1");
    EXPECT_EQ(sections[1].keys, std::vector<std::string>{"sorce"});
    EXPECT_EQ(sections[2].strName, "configuration");
    // The repeated section stays unread by the value reader.
    EXPECT_EQ(Settings().GetServerPort(), 80);
    EXPECT_EQ(Settings().GetHotFolderCount(), 1);
}

TEST_F(SettingsFile, NumbersThatWrapAroundAreToldApart) {
    EXPECT_TRUE(CIniFile::IsProfileIntExact("2147483647"));
    EXPECT_TRUE(CIniFile::IsProfileIntExact("-2147483648"));
    EXPECT_TRUE(CIniFile::IsProfileIntExact("0x7fffffff junk"));
    EXPECT_TRUE(CIniFile::IsProfileIntExact("word"));
    EXPECT_FALSE(CIniFile::IsProfileIntExact("2147483648"));
    EXPECT_FALSE(CIniFile::IsProfileIntExact("4294967297"));
    EXPECT_FALSE(CIniFile::IsProfileIntExact("99999999999999999999"));
    EXPECT_FALSE(CIniFile::IsProfileIntExact("0x100000000"));
}
