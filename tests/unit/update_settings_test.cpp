#include <gtest/gtest.h>

#include "test_support.h"
#include "updater/updater.h"

namespace {

TEST(UpdateSettings, DefaultsWithoutAnyFile) {
    TempDir dir;
    CUpdater u(dir.path());
    EXPECT_EQ(u.m_programFolder, dir.path());
    EXPECT_EQ(u.m_updateSettingsFile, L"update.ini");
    EXPECT_EQ(u.m_workFolderName, L"updatetmp");
    EXPECT_EQ(u.m_server, L"");
    EXPECT_EQ(u.m_port, 80);
    EXPECT_FALSE(u.m_ssl);
    EXPECT_EQ(u.m_hostId, 80);
    EXPECT_EQ(u.m_psid, 80);
    EXPECT_EQ(u.m_listPath, L"");
    EXPECT_TRUE(u.m_stopList.empty());
    EXPECT_TRUE(u.m_startList.empty());
    EXPECT_EQ(u.m_proxyServer, L"");
    EXPECT_EQ(u.m_proxyPort, 0);
}

TEST(UpdateSettings, ReadsEveryKey) {
    TempDir dir;
    WriteBytes(dir / L"config.ini",
               "[Config]\r\nServer=srv.example\r\nPort=8443\r\nSSL=2\r\nHostID=12\r\nPSID=7\r\n");
    WriteBytes(dir / L"update.ini",
               "[update]\r\nversion=v\r\nVersionHash=vh\r\nModule=m\r\nModuleHash=mh\r\n"
               "List=/up/list.txt\r\nListHash=/up/list.md5\r\nModules=/up/files\r\n"
               "Complete=/up/complete\r\nLog=/up/log\r\n"
               "[Stop]\r\n1=Pellwick.exe\r\n2=Spooler\r\n4=after-gap.exe\r\n"
               "[Start]\r\n1=a\r\n2=b\r\n3=c\r\n4=d\r\n5=e\r\n6=f\r\n7=g\r\n8=h\r\n9=i\r\n"
               "10=j\r\n11=k\r\n12=l\r\n");
    WriteBytes(dir / L"proxy.ini",
               "[Proxy]\r\nServer=proxy.local\r\nUserName=u\r\nPassword=p w\r\nPort=3128\r\n");
    CUpdater u(dir.path());
    EXPECT_EQ(u.m_server, L"srv.example");
    EXPECT_EQ(u.m_port, 8443);
    EXPECT_TRUE(u.m_ssl);  // any value but 0 is on
    EXPECT_EQ(u.m_hostId, 12);
    EXPECT_EQ(u.m_psid, 7);
    EXPECT_EQ(u.m_versionSetting, L"v");
    EXPECT_EQ(u.m_versionHashSetting, L"vh");
    EXPECT_EQ(u.m_moduleSetting, L"m");
    EXPECT_EQ(u.m_moduleHashSetting, L"mh");
    EXPECT_EQ(u.m_listPath, L"/up/list.txt");
    EXPECT_EQ(u.m_listHashPath, L"/up/list.md5");
    EXPECT_EQ(u.m_modulesPath, L"/up/files");
    EXPECT_EQ(u.m_completePath, L"/up/complete");
    EXPECT_EQ(u.m_logPath, L"/up/log");
    EXPECT_EQ(u.m_stopList, (std::vector<std::wstring>{L"Pellwick.exe", L"Spooler"}));
    EXPECT_EQ(u.m_startList,
              (std::vector<std::wstring>{L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h", L"i"}));
    EXPECT_EQ(u.m_proxyServer, L"proxy.local");
    EXPECT_EQ(u.m_proxyUserName, L"u");
    EXPECT_EQ(u.m_proxyPassword, L"p w");
    EXPECT_EQ(u.m_proxyPort, 3128);
}

TEST(UpdateSettings, SslZeroIsOff) {
    TempDir dir;
    WriteBytes(dir / L"config.ini", "[Config]\r\nServer=s\r\nSSL=0\r\n");
    EXPECT_FALSE(CUpdater(dir.path()).m_ssl);
}

}  // namespace
