// Platform calls of the service host that tests replace: the real functions by
// default; a test swaps an entry and restores it.
#pragma once

#include <windows.h>

struct ServicePlatform {
    LPWSTR(WINAPI* GetCommandLineW)();
    LPWSTR*(WINAPI* CommandLineToArgvW)(LPCWSTR commandLine, int* count);
};
extern ServicePlatform g_servicePlatform;
