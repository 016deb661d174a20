// What the control pipe's tests steer: the adapter actions and the access
// grant it calls, the few platform calls whose failure or arguments a test
// cannot provoke or see otherwise, and its two time limits. The real functions
// and production limits are the defaults; a test swaps entries and restores them.
#pragma once

#include <windows.h>

struct AdapterOutcome;

struct PipePlatform {
    int (*RestartAdapter)(const BYTE* hardwareAddress, AdapterOutcome* outcome);
    int (*DisableAdapter)(const BYTE* hardwareAddress, AdapterOutcome* outcome);
    int (*GrantFullAccess)(PSID sid, HANDLE object);
    // Remote-client rejection shows only to another machine; tests record the arguments.
    HANDLE(WINAPI* CreateNamedPipeW)(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                     DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                                     LPSECURITY_ATTRIBUTES attributes);
    LPVOID(WINAPI* VirtualAlloc)(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect);
    BOOL(WINAPI* ReadFile)(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
    // Failures of the peek, the reply's write, the connect event, the connect
    // and the wait, which a real pipe gives only by chance.
    BOOL(WINAPI* PeekNamedPipe)(HANDLE pipe, LPVOID buffer, DWORD size, LPDWORD read, LPDWORD available,
                                LPDWORD left);
    BOOL(WINAPI* WriteFile)(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
    HANDLE(WINAPI* CreateEventW)(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                 LPCWSTR name);
    BOOL(WINAPI* ConnectNamedPipe)(HANDLE pipe, LPOVERLAPPED overlapped);
    DWORD(WINAPI* WaitForMultipleObjects)(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs);
    DWORD(WINAPI* GetTickCount)();
    // The timer that bounds the reply's flush, whose failure no real system gives.
    BOOL(WINAPI* CreateTimerQueueTimer)(PHANDLE timer, HANDLE queue, WAITORTIMERCALLBACK callback, PVOID parameter,
                                        DWORD dueTimeMs, DWORD periodMs, ULONG flags);
    DWORD requestTimeoutMs;     // PIPE_REQUEST_TIMEOUT_MS
    DWORD replyFlushTimeoutMs;  // PIPE_REPLY_FLUSH_TIMEOUT_MS
    DWORD createRetryMs;        // PIPE_CREATE_RETRY_MS
};
extern PipePlatform g_pipePlatform;
