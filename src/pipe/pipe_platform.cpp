// The control pipe's seam table with its production defaults.
#include "pipe/pipe_platform.h"

#include "adapter/adapter_control.h"
#include "pipe/access_grant.h"
#include "pipe/pipe_server.h"
#include "pipe/request_handler.h"

PipePlatform g_pipePlatform = {
    RestartAdapter,
    DisableAdapter,
    EnableAdapter,
    GrantFullAccess,
    BuildPipeSecurity,
    ::CreateNamedPipeW,
    ::VirtualAlloc,
    ::ReadFile,
    ::PeekNamedPipe,
    ::WriteFile,
    ::CreateEventW,
    ::ConnectNamedPipe,
    ::WaitForMultipleObjects,
    ::CancelIoEx,
    ::GetOverlappedResult,
    ::GetTickCount,
    ::CreateTimerQueueTimer,
    ::ImpersonateNamedPipeClient,
    ::RevertToSelf,
    PIPE_REQUEST_TIMEOUT_MS,
    PIPE_REPLY_FLUSH_TIMEOUT_MS,
    PIPE_CREATE_RETRY_MS,
};
