// What the control pipe's tests steer: the adapter actions and the access
// grant it calls, the few platform calls whose failure or arguments a test
// cannot provoke or see otherwise, and its two time limits. The real functions
// and production limits are the defaults; a test swaps entries and restores them.
#pragma once

#include <windows.h>

struct PipePlatform {
    int (*RestartAdapter)(const BYTE* hardwareAddress);
    int (*DisableAdapter)(const BYTE* hardwareAddress);
    int (*GrantFullAccess)(PSID sid, HANDLE object);
    // Remote-client rejection shows only to another machine; tests record the arguments.
    HANDLE(WINAPI* CreateNamedPipeW)(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                     DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                                     LPSECURITY_ATTRIBUTES attributes);
    LPVOID(WINAPI* VirtualAlloc)(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect);
    BOOL(WINAPI* ReadFile)(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
    DWORD(WINAPI* GetTickCount)();
    DWORD requestTimeoutMs;     // PIPE_REQUEST_TIMEOUT_MS
    DWORD replyFlushTimeoutMs;  // PIPE_REPLY_FLUSH_TIMEOUT_MS
};
extern PipePlatform g_pipePlatform;
