#include "agent_test_support.h"

#include <windows.h>

#include "agent/agent_settings.h"

AgentFolders::AgentFolders(const std::string& configIni) {
    ::CreateDirectoryW(install().c_str(), nullptr);
    ::CreateDirectoryW((dir_ / L"local").c_str(), nullptr);
    if (!configIni.empty()) WriteBytes(install() + L"\\config.ini", configIni);
    Reload();
}

void AgentFolders::Reload() {
    LoadAgentSettingsFrom(install() + L"\\Pellwick.exe", dir_ / L"local");
}

std::string LoopbackConfig(int port, int hostId) {
    return "[Config]\r\nServer=127.0.0.1\r\nPort=" + std::to_string(port) +
           "\r\nSSL=0\r\nHostID=" + std::to_string(hostId) +
           "\r\n[Server]\r\nInstall=/pw/install\r\nVersion=/pw/version\r\nCheck=/pw/check\r\n"
           "Conf=/pw/conf\r\nStatus=/pw/status\r\n";
}
