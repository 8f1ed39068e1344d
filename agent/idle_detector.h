// The idle detector and the input monitor: input activity turns status 1 into 3 and back.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

// Shared by the main window (owner), the idle detector and the setting monitor.
struct IdleDetectorRecord {
    std::atomic<bool> running{true};
    std::atomic<uint64_t> idleMilliseconds{0};  // written by the idle detector only
    HANDLE* idleEvent = nullptr;                // the window's event pair: idle, then active
    HANDLE* activeEvent = nullptr;
    std::atomic<uint32_t> idleThreshold{600};  // seconds; written by the setting monitor
};

DWORD WINAPI IdleDetectorThread(void* record);
// Parameter: the address of the window's event pair (idle event first).
DWORD WINAPI InputMonitorThread(void* eventPair);
// Parameter: the idle-detector record.
DWORD WINAPI SettingMonitorThread(void* record);
