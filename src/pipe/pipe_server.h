// The control pipe's server thread.
#pragma once

#include <windows.h>

// How long a connected client has, counted from the moment its connection was
// seen, to get the 12-byte request header into the pipe.
constexpr DWORD PIPE_REQUEST_TIMEOUT_MS = 30000;

// How long the server pauses between looks at a client whose header is partly
// there (until its first byte it sleeps on a zero-byte read instead), and
// after a connect that failed at once; it waits on the stop event meanwhile.
constexpr DWORD PIPE_POLL_MS = 1;
// How often a name that another program holds is tried again.
constexpr DWORD PIPE_CREATE_RETRY_MS = 1000;

// The pipe as created: duplex; WRITE_DAC for the grant; the first instance
// only (on Windows creation fails when the name is already in use); overlapped
// connects.
constexpr DWORD CONTROL_PIPE_OPEN_MODE =
    PIPE_ACCESS_DUPLEX | WRITE_DAC | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;
static_assert(CONTROL_PIPE_OPEN_MODE == 0x400C0003, "the open mode clients and tools have always seen");
// Byte mode, blocking. The desktop application is local: no client on another
// machine may reach the adapters.
constexpr DWORD CONTROL_PIPE_MODE = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
// Everyone may open the pipe, so no one may add an instance that could receive
// the application's requests in the server's place.
constexpr DWORD CONTROL_PIPE_MAX_INSTANCES = 1;
constexpr DWORD CONTROL_PIPE_BUFFER_SIZE = 65536;
// What a client's WaitNamedPipe(NMPWAIT_USE_DEFAULT_WAIT) waits for the instance.
constexpr DWORD CONTROL_PIPE_DEFAULT_TIMEOUT_MS = 1000;

// Thread routine: serves one client at a time on "\\.\pipe\norva\Tobra Service"
// until g_pipeStopEvent is set; a stop ends a client that has not yet sent its
// header at once. Ending for any other reason (an event, the descriptor, the
// pipe, the grant, a connect or a wait that fails) it logs the failure and
// has ReportServiceFailure stop the service. The parameter (the service
// window) is unused. Ends with ExitThread(0) on every path: the error goes to
// the service, and the window thread only asks whether the thread still runs.
DWORD WINAPI PipeServerThread(LPVOID parameter);
