// The control pipe's server thread: one pipe instance, one client at a time.
#include "pipe/pipe_server.h"

#include "log/log.h"
#include "pipe/access_grant.h"
#include "pipe/control_message.h"
#include "pipe/pipe_platform.h"
#include "pipe/request_handler.h"
#include "service/service_window.h"

namespace {

// Polls the handler until it has dealt with the client, or until more than the
// request time limit has passed since the connection was seen. Partial data
// does not restart the count. The unsigned difference survives the tick
// count's wrap.
void ServeClient(HANDLE pipe)
{
    DWORD start = g_pipePlatform.GetTickCount();
    for (;;) {
        if (HandlePipeRequest(pipe) != 0)
            return;
        if (g_pipePlatform.GetTickCount() - start > g_pipePlatform.requestTimeoutMs) {
            LogPrintf(L"PIPE Timeout.");
            return;
        }
        Sleep(1);
    }
}

// Whether the server is to end: the stop event is set, or missing (the wait
// fails). For the connect results that skip the wait for a client.
bool StopRequested()
{
    return WaitForSingleObject(g_pipeStopEvent, 0) != WAIT_TIMEOUT;
}

// Connects, serves and disconnects clients until the stop event is set (or the
// wait fails). The stop event is looked at only here, between clients; when a
// stop and a connection come together, the stop wins.
void ServeClients(HANDLE pipe, HANDLE connectEvent)
{
    // A pending connect refers to the record until it completes or is cancelled.
    OVERLAPPED connect;
    int pending = 0;
    for (;;) {
        ZeroMemory(&connect, sizeof(connect));
        connect.hEvent = connectEvent;
        pending = 0;
        if (!g_pipePlatform.ConnectNamedPipe(pipe, &connect)) {
            DWORD error = GetLastError();
            if (error == ERROR_NO_DATA) {
                // A client opened the pipe and closed it again before this call.
                // The event will not be signalled: clear the end and listen anew.
                DisconnectNamedPipe(pipe);
                // A connect that kept failing so must not hold off a stop.
                if (StopRequested())
                    break;
                continue;
            }
            pending = error == ERROR_IO_PENDING;
            // ERROR_PIPE_CONNECTED: a client came before the call; serve it at once.
            if (error == ERROR_PIPE_CONNECTED) {
                ServeClient(pipe);
                DisconnectNamedPipe(pipe);
                if (StopRequested())
                    break;
                continue;
            }
        }

        HANDLE waitList[2] = {g_pipeStopEvent, connectEvent};
        if (g_pipePlatform.WaitForMultipleObjects(2, waitList, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        pending = 0;
        ServeClient(pipe);
        DisconnectNamedPipe(pipe);
    }

    if (pending) {
        // Nothing may still refer to the record and the event once they are gone.
        DWORD ignored = 0;
        CancelIo(pipe);
        GetOverlappedResult(pipe, &connect, &ignored, TRUE);
    }
}

}  // namespace

DWORD WINAPI PipeServerThread(LPVOID)
{
    HANDLE connectEvent = g_pipePlatform.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pipe = INVALID_HANDLE_VALUE;

    // Without the connect event no client could ever be seen.
    if (connectEvent == nullptr)
        goto end;

    // No security attributes: the default descriptor, which the grant then opens
    // to Everyone. Fails when the name is in use, whoever created it.
    pipe = g_pipePlatform.CreateNamedPipeW(CONTROL_PIPE_NAME, CONTROL_PIPE_OPEN_MODE, CONTROL_PIPE_MODE,
                                           CONTROL_PIPE_MAX_INSTANCES, CONTROL_PIPE_BUFFER_SIZE,
                                           CONTROL_PIPE_BUFFER_SIZE, CONTROL_PIPE_DEFAULT_TIMEOUT_MS, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        goto end;

    // A pipe that not every user can open is never served.
    if (!g_pipePlatform.GrantFullAccess(const_cast<BYTE*>(EveryoneSid), pipe))
        goto end;

    ServeClients(pipe, connectEvent);

end:
    if (connectEvent != nullptr)
        CloseHandle(connectEvent);
    if (pipe != INVALID_HANDLE_VALUE) {
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
    ExitThread(0);
}
