// Agent test helpers: a temporary install folder and local application data folder with
// the settings loaded from them, so that the agent's files land in the test's folder.
#pragma once
#include <string>

#include "test_support.h"

class AgentFolders {
public:
    // Writes config.ini (may be empty: no file) and loads the settings.
    explicit AgentFolders(const std::string& configIni = std::string());
    void Reload();
    std::wstring install() const { return dir_ / L"install"; }
    std::wstring data() const { return dir_ / L"local\\TAVRIK\\Brenlo"; }
    std::wstring dataFile(const std::wstring& name) const { return data() + L"\\" + name; }

private:
    TempDir dir_;
};

// config.ini for a server on the loopback port with the test server's paths.
std::string LoopbackConfig(int port, int hostId);

