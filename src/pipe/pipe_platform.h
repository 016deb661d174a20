// What the control pipe's tests steer: the adapter actions, the access grant
// and the pipe's descriptor, the few platform calls whose failure or arguments
// a test cannot provoke or see otherwise, and its time limits. The real
// functions and production limits are the defaults; a test swaps entries and
// restores them.
#pragma once

#include <windows.h>

#include "adapter/adapter_control.h"
#include "pipe/access_grant.h"

struct PipePlatform {
    decltype(&::RestartAdapter) RestartAdapter;
    decltype(&::DisableAdapter) DisableAdapter;
    decltype(&::EnableAdapter) EnableAdapter;
    decltype(&::GrantFullAccess) GrantFullAccess;
    // The pipe's descriptor, whose failure only an exhausted heap gives.
    decltype(&::BuildPipeSecurity) BuildPipeSecurity;
    // Remote-client rejection shows only to another machine; tests record the arguments.
    decltype(&::CreateNamedPipeW) CreateNamedPipeW;
    decltype(&::VirtualAlloc) VirtualAlloc;
    // The handler's read of a request, and the server's zero-byte read.
    decltype(&::ReadFile) ReadFile;
    // Failures of the peek, the reply's write, the connect event, the connect
    // and the wait, which a real pipe gives only by chance.
    decltype(&::PeekNamedPipe) PeekNamedPipe;
    decltype(&::WriteFile) WriteFile;
    decltype(&::CreateEventW) CreateEventW;
    decltype(&::ConnectNamedPipe) ConnectNamedPipe;
    decltype(&::WaitForMultipleObjects) WaitForMultipleObjects;
    // The end of the zero-byte read that waits for a client's first bytes: a
    // completion with an error, and that its cancel is waited for, which a
    // real pipe shows only by chance.
    decltype(&::CancelIoEx) CancelIoEx;
    decltype(&::GetOverlappedResult) GetOverlappedResult;
    decltype(&::GetTickCount) GetTickCount;
    // The timer that bounds the reply's flush, whose failure no real system gives.
    decltype(&::CreateTimerQueueTimer) CreateTimerQueueTimer;
    // Reading who asked: a client that lends no identity, and a return to
    // the service's own that fails, neither of which a real pipe gives.
    decltype(&::ImpersonateNamedPipeClient) ImpersonateNamedPipeClient;
    decltype(&::RevertToSelf) RevertToSelf;
    DWORD requestTimeoutMs;     // PIPE_REQUEST_TIMEOUT_MS
    DWORD replyFlushTimeoutMs;  // PIPE_REPLY_FLUSH_TIMEOUT_MS
    DWORD createRetryMs;        // PIPE_CREATE_RETRY_MS
};
extern PipePlatform g_pipePlatform;
