// The agent's process-wide settings: read once at start, some replaced later by the
// server's configuration document.
#pragma once
#include <atomic>
#include <string>

struct AgentSettings {
    std::wstring productVersion;
    std::wstring installFolder;
    std::wstring dataFolder;
    std::wstring logsFolder;
    std::wstring computerName;
    int hostId = 0;
    std::wstring server;
    int port = 0;
    bool ssl = false;
    // config.ini VerifyCertificate: secure requests keep the platform's certificate checks.
    bool verifyCertificate = false;
    // Written by the setting monitor while other threads read them.
    std::atomic<int> threshold{600};
    std::atomic<int> cycle{600};
    std::wstring confPath;
    std::wstring checkPath;
    std::wstring statusPath;
    std::wstring versionPath;
    std::wstring installPath;
    // Written at start and by the setting monitor, which is also its only later reader.
    std::wstring startDay;
    int startupStatus = 1;
};

AgentSettings& Settings();

// Reads config.ini, applies the stored conf.xml and reads status.ini. Logs nothing.
void LoadAgentSettings();
// The same for a given executable path and local application data folder (tests).
void LoadAgentSettingsFrom(const std::wstring& modulePath, const std::wstring& localAppData);

// The local application data folder; empty when it can't be resolved.
std::wstring LocalAppDataFolder();
// Creates the folder unless it exists; failures are left to the folder's users.
void EnsureFolder(const std::wstring& folder);
// Creates "TAVRIK\Brenlo" under the local application data folder as far as it is missing
// and returns the data folder's path.
std::wstring EnsureDataFolder(const std::wstring& localAppData);

// One GET of the version path; true when the server answered "ok".
bool ReportVersion();
