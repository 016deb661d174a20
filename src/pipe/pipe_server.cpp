// The control pipe's server thread: one pipe instance, one client at a time.
#include "pipe/pipe_server.h"

#include "log/log.h"
#include "pipe/access_grant.h"
#include "pipe/control_message.h"
#include "pipe/pipe_platform.h"
#include "pipe/request_handler.h"
#include "service/service_policy.h"
#include "service/service_window.h"

namespace {

// Waits up to `ms` on the stop event; true when the server is to end: the
// event is set, or missing (the wait fails).
bool WaitForStop(DWORD ms)
{
    return WaitForSingleObject(g_pipeStopEvent, ms) != WAIT_TIMEOUT;
}

// Polls the handler until it has dealt with the client, until more than the
// request time limit has passed since the connection was seen, or until a
// stop comes. Partial data does not restart the count; the unsigned
// difference survives the tick count's wrap. A request once read is carried
// out and answered within the one handler call, so a stop only ever drops a
// client that still owes its header. True when the server is to end.
bool ServeClient(HANDLE pipe)
{
    DWORD start = g_pipePlatform.GetTickCount();
    for (;;) {
        if (HandlePipeRequest(pipe) != 0)
            return false;
        if (g_pipePlatform.GetTickCount() - start > g_pipePlatform.requestTimeoutMs) {
            LogPrintf(L"PIPE Timeout.");
            return false;
        }
        // Any user can connect and stay silent: that must not hold off a stop.
        if (WaitForStop(PIPE_POLL_MS))
            return true;
    }
}

// Connects, serves and disconnects clients until the stop event is set (or the
// wait fails). When a stop and a connection come together, the stop wins.
void ServeClients(HANDLE pipe, HANDLE connectEvent)
{
    // A pending connect refers to the record until it completes or is cancelled.
    OVERLAPPED connect;
    int pending = 0;
    bool stop = false;
    while (!stop) {
        ZeroMemory(&connect, sizeof(connect));
        connect.hEvent = connectEvent;
        pending = 0;
        if (!g_pipePlatform.ConnectNamedPipe(pipe, &connect)) {
            DWORD error = GetLastError();
            if (error == ERROR_NO_DATA) {
                // A client opened the pipe and closed it again before this call.
                // The event will not be signalled: clear the end and listen anew,
                // after a pause, so that a connect that keeps failing so is
                // neither a busy loop nor deaf to a stop.
                DisconnectNamedPipe(pipe);
                stop = WaitForStop(PIPE_POLL_MS);
                continue;
            }
            // ERROR_PIPE_CONNECTED: a client came before the call; serve it at once.
            if (error == ERROR_PIPE_CONNECTED) {
                stop = ServeClient(pipe);
                DisconnectNamedPipe(pipe);
                // A client that is answered at its first poll never reaches a wait.
                if (!stop)
                    stop = WaitForStop(0);
                continue;
            }
            pending = error == ERROR_IO_PENDING;
        }

        HANDLE waitList[2] = {g_pipeStopEvent, connectEvent};
        if (g_pipePlatform.WaitForMultipleObjects(2, waitList, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        pending = 0;
        stop = ServeClient(pipe);
        DisconnectNamedPipe(pipe);
    }

    if (pending) {
        // Nothing may still refer to the record and the event once they are gone.
        DWORD ignored = 0;
        CancelIo(pipe);
        GetOverlappedResult(pipe, &connect, &ignored, TRUE);
    }
}

// Creates the one instance of the control pipe. On Windows a name that another
// program took first is refused (ERROR_ACCESS_DENIED through
// FILE_FLAG_FIRST_PIPE_INSTANCE, ERROR_PIPE_BUSY through the instance limit):
// then the name is tried again each second, so that the service serves as
// soon as it is free instead of running without a pipe. A stop ends the tries
// at once. INVALID_HANDLE_VALUE when there is to be no pipe.
HANDLE CreateControlPipe(PSECURITY_DESCRIPTOR security)
{
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security, FALSE};
    bool logged = false;
    for (;;) {
        HANDLE pipe = g_pipePlatform.CreateNamedPipeW(
            CONTROL_PIPE_NAME, CONTROL_PIPE_OPEN_MODE, CONTROL_PIPE_MODE, CONTROL_PIPE_MAX_INSTANCES,
            CONTROL_PIPE_BUFFER_SIZE, CONTROL_PIPE_BUFFER_SIZE, CONTROL_PIPE_DEFAULT_TIMEOUT_MS, &attributes);
        if (pipe != INVALID_HANDLE_VALUE)
            return pipe;
        DWORD error = GetLastError();
        // Once: a squatter that stays must not fill the log.
        if (!logged)
            LogPrintf(L"Could not create the control pipe (error %lu)", error);
        logged = true;
        if (error != ERROR_ACCESS_DENIED && error != ERROR_PIPE_BUSY)
            return INVALID_HANDLE_VALUE;
        if (WaitForStop(g_pipePlatform.createRetryMs))
            return INVALID_HANDLE_VALUE;
    }
}

}  // namespace

DWORD WINAPI PipeServerThread(LPVOID)
{
    HANDLE connectEvent = g_pipePlatform.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    PSECURITY_DESCRIPTOR security = nullptr;
    const WCHAR* allowedClient = g_policy.allowedClient[0] != L'\0' ? g_policy.allowedClient : nullptr;

    // Without the connect event no client could ever be seen.
    if (connectEvent == nullptr) {
        LogPrintf(L"Could not create the connect event (error %lu)", GetLastError());
        goto cleanup;
    }

    // The whole descriptor at creation: owner SYSTEM, which clients check,
    // and the list of who may use the pipe (Everyone, or exactly the SID an
    // administrator named).
    security = g_pipePlatform.BuildPipeSecurity(allowedClient);
    if (security == nullptr) {
        LogPrintf(L"Could not open the control pipe to clients (error %lu)", GetLastError());
        goto cleanup;
    }

    pipe = CreateControlPipe(security);
    if (pipe == INVALID_HANDLE_VALUE)
        goto cleanup;

    // A pipe that not every user can open is never served, unless the policy
    // says who may. The descriptor holds the entry already: nothing is written.
    if (allowedClient == nullptr && !g_pipePlatform.GrantFullAccess(const_cast<BYTE*>(EveryoneSid), pipe)) {
        LogPrintf(L"Could not open the control pipe to clients (error %lu)", GetLastError());
        goto cleanup;
    }

    ServeClients(pipe, connectEvent);

cleanup:
    if (security != nullptr)
        LocalFree(security);
    if (connectEvent != nullptr)
        CloseHandle(connectEvent);
    if (pipe != INVALID_HANDLE_VALUE) {
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
    ExitThread(0);
}
