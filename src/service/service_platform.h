// Platform calls of the service host that tests replace: the real functions by
// default; a test swaps an entry and restores it. Each entry is a call whose
// failure the real platform will not give on demand (a refused status report,
// a failed event, thread, class or window), or the service control manager
// that a test process is not connected to.
#pragma once

#include <windows.h>

struct ServicePlatform {
    LPWSTR(WINAPI* GetCommandLineW)();
    LPWSTR*(WINAPI* CommandLineToArgvW)(LPCWSTR commandLine, int* count);
    SERVICE_STATUS_HANDLE(WINAPI* RegisterServiceCtrlHandlerW)(LPCWSTR serviceName, LPHANDLER_FUNCTION handler);
    BOOL(WINAPI* SetServiceStatus)(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
    HANDLE(WINAPI* CreateEventW)(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                 LPCWSTR name);
    HANDLE(WINAPI* CreateThread)(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                 LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags, LPDWORD id);
    ATOM(WINAPI* RegisterClassW)(const WNDCLASSW* windowClass);
    HWND(WINAPI* CreateWindowExW)(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y,
                                  int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                  LPVOID parameter);
    // The window thread's loop and its wait for the pipe thread: failures no
    // real window or thread gives on demand.
    BOOL(WINAPI* GetMessageW)(LPMSG message, HWND window, UINT filterMin, UINT filterMax);
    BOOL(WINAPI* GetExitCodeThread)(HANDLE thread, LPDWORD exitCode);
    // Where the policy is read: HKEY_LOCAL_MACHINE and its two keys; tests
    // point it at keys of their own.
    HKEY policyRoot;
    const WCHAR* groupPolicyKey;
    const WCHAR* settingsKey;
};
extern ServicePlatform g_servicePlatform;
