// Platform calls of the service host that tests replace: the real functions by
// default; a test swaps an entry and restores it. Each entry is a call whose
// failure the real platform will not give on demand (a refused status report,
// a failed event, thread, class or window), or the service control manager
// that a test process is not connected to.
#pragma once

#include <windows.h>
#include <shellapi.h>

struct ServicePlatform {
    decltype(&::GetCommandLineW) GetCommandLineW;
    decltype(&::CommandLineToArgvW) CommandLineToArgvW;
    decltype(&::RegisterServiceCtrlHandlerW) RegisterServiceCtrlHandlerW;
    decltype(&::SetServiceStatus) SetServiceStatus;
    decltype(&::CreateEventW) CreateEventW;
    decltype(&::CreateThread) CreateThread;
    decltype(&::RegisterClassW) RegisterClassW;
    decltype(&::CreateWindowExW) CreateWindowExW;
    // The window thread's loop and its wait for the pipe thread: failures no
    // real window or thread gives on demand.
    decltype(&::GetMessageW) GetMessageW;
    decltype(&::GetExitCodeThread) GetExitCodeThread;
    // Where the policy is read: HKEY_LOCAL_MACHINE and its two keys; tests
    // point it at keys of their own.
    HKEY policyRoot;
    const WCHAR* groupPolicyKey;
    const WCHAR* settingsKey;
};
extern ServicePlatform g_servicePlatform;
