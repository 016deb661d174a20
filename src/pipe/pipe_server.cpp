// The control pipe's server thread: one pipe instance, one client at a time.
#include "pipe/pipe_server.h"

#include "event/event_log.h"
#include "log/log.h"
#include "pipe/access_grant.h"
#include "pipe/control_message.h"
#include "pipe/pipe_platform.h"
#include "pipe/request_handler.h"
#include "service/service_main.h"
#include "service/service_policy.h"
#include "service/service_window.h"

namespace {

const WCHAR CREATE_FAILURE[] = L"Could not create the control pipe";
const WCHAR GRANT_FAILURE[] = L"Could not open the control pipe to clients";
const WCHAR WAIT_FAILURE[] = L"Could not wait for clients of the control pipe";

// Why the server ends: a stop (no failure), or what failed and its error,
// which stops the service: a server that has ended serves no one.
struct ServerEnd {
    const WCHAR* failure;
    DWORD error;
};

void SetFailure(ServerEnd* end, const WCHAR* failure, DWORD error)
{
    end->failure = failure;
    end->error = error;
}

// Waits up to `ms` on the stop event; true when the server is to end: the
// event is set, or the wait failed (the event is missing), which is recorded.
bool WaitForStop(DWORD ms, ServerEnd* end)
{
    DWORD result = WaitForSingleObject(g_pipeStopEvent, ms);
    if (result == WAIT_TIMEOUT)
        return false;
    if (result != WAIT_OBJECT_0)
        SetFailure(end, WAIT_FAILURE, GetLastError());
    return true;
}

// What a wait for a connected client's first bytes found.
enum ClientWait {
    CLIENT_DATA_ARRIVED,  // bytes came while the read was pending
    CLIENT_DATA_WAITING,  // bytes were there already, or the read cannot tell: poll
    CLIENT_GONE,          // the client has closed its end and left nothing
    CLIENT_TIME_UP,
    CLIENT_STOP,          // a stop came, or the wait failed (recorded in end)
};

// Ends a pending read and waits until it has ended, so that nothing refers to
// the record once it goes (it lives on the caller's stack).
void EndPendingRead(HANDLE pipe, OVERLAPPED* read)
{
    DWORD ignored = 0;
    g_pipePlatform.CancelIoEx(pipe, read);
    g_pipePlatform.GetOverlappedResult(pipe, read, &ignored, TRUE);
}

bool IsClientGone(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

// Sleeps until the client's first bytes arrive, the client goes, the time
// left runs out or a stop comes, without polling: a zero-byte read of the
// pipe pends until data is waiting. A read that fails at once with an error
// other than the client's going falls back to polling, where the handler
// decides.
ClientWait WaitForClientBytes(HANDLE pipe, HANDLE readEvent, DWORD timeLeftMs, ServerEnd* end)
{
    OVERLAPPED read;
    ZeroMemory(&read, sizeof(read));
    read.hEvent = readEvent;
    BYTE none = 0;
    DWORD transferred = 0;
    if (g_pipePlatform.ReadFile(pipe, &none, 0, nullptr, &read))
        return CLIENT_DATA_WAITING;
    DWORD error = GetLastError();
    if (IsClientGone(error))
        return CLIENT_GONE;  // waiting now would wait for nothing
    if (error != ERROR_IO_PENDING)
        return CLIENT_DATA_WAITING;

    HANDLE waitList[2] = {g_pipeStopEvent, readEvent};
    DWORD result = g_pipePlatform.WaitForMultipleObjects(2, waitList, FALSE, timeLeftMs);
    if (result == WAIT_OBJECT_0 + 1) {
        if (g_pipePlatform.GetOverlappedResult(pipe, &read, &transferred, FALSE))
            return CLIENT_DATA_ARRIVED;
        error = GetLastError();
        // ERROR_BROKEN_PIPE when the client closed, ERROR_PIPE_NOT_CONNECTED at a disconnect.
        if (IsClientGone(error))
            return CLIENT_GONE;
        if (error == ERROR_IO_INCOMPLETE)
            EndPendingRead(pipe, &read);
        return CLIENT_DATA_WAITING;
    }
    error = GetLastError();
    EndPendingRead(pipe, &read);
    if (result == WAIT_TIMEOUT)
        return CLIENT_TIME_UP;
    if (result != WAIT_OBJECT_0)
        SetFailure(end, WAIT_FAILURE, error);
    return CLIENT_STOP;
}

// Calls the handler until it has dealt with the client, until more than the
// request time limit has passed since the connection was seen, or until a
// stop comes. Until the first bytes arrive the thread sleeps on a zero-byte
// read; once some are waiting that read would complete at once, so the
// handler is then asked again every millisecond until the header is whole.
// Partial data does not restart the count; the unsigned difference survives
// the tick count's wrap. A request once read is carried out and answered
// within the one handler call, so a stop only ever drops a client that still
// owes its header. True when the server is to end.
bool ServeClient(HANDLE pipe, HANDLE readEvent, ServerEnd* end)
{
    DWORD start = g_pipePlatform.GetTickCount();
    bool polling = false;
    for (;;) {
        if (HandlePipeRequest(pipe) != 0)
            return false;
        DWORD elapsed = g_pipePlatform.GetTickCount() - start;
        if (elapsed > g_pipePlatform.requestTimeoutMs) {
            LogPrintf(L"PIPE Timeout.");
            return false;
        }
        // Any user can connect and stay silent: that must not hold off a stop.
        if (polling) {
            if (WaitForStop(PIPE_POLL_MS, end))
                return true;
            continue;
        }
        switch (WaitForClientBytes(pipe, readEvent, g_pipePlatform.requestTimeoutMs - elapsed + 1, end)) {
        case CLIENT_GONE:
            return false;
        case CLIENT_STOP:
            return true;
        case CLIENT_DATA_WAITING:
            // Bytes stay until the handler reads a whole header: poll from now on.
            polling = true;
            break;
        case CLIENT_DATA_ARRIVED:
        case CLIENT_TIME_UP:
            break;  // the handler, then the clock, decide
        }
    }
}

// Connects, serves and disconnects clients until the stop event is set, or
// until a connect or a wait fails (recorded in end). When a stop and a
// connection come together, the stop wins.
void ServeClients(HANDLE pipe, HANDLE connectEvent, HANDLE readEvent, ServerEnd* end)
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
                stop = WaitForStop(PIPE_POLL_MS, end);
                continue;
            }
            // ERROR_PIPE_CONNECTED: a client came before the call; serve it at once.
            if (error == ERROR_PIPE_CONNECTED) {
                stop = ServeClient(pipe, readEvent, end);
                DisconnectNamedPipe(pipe);
                // A client that is answered at its first poll never reaches a wait.
                if (!stop)
                    stop = WaitForStop(0, end);
                continue;
            }
            // Any other error: no connection will ever signal the event.
            if (error != ERROR_IO_PENDING) {
                SetFailure(end, L"Could not listen for clients of the control pipe", error);
                break;
            }
            pending = 1;
        }

        HANDLE waitList[2] = {g_pipeStopEvent, connectEvent};
        DWORD result = g_pipePlatform.WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
        if (result != WAIT_OBJECT_0 + 1) {
            if (result != WAIT_OBJECT_0)
                SetFailure(end, WAIT_FAILURE, GetLastError());
            break;
        }
        pending = 0;
        stop = ServeClient(pipe, readEvent, end);
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
// at once; any other error is recorded in end. INVALID_HANDLE_VALUE when there
// is to be no pipe.
HANDLE CreateControlPipe(PSECURITY_DESCRIPTOR security, ServerEnd* end)
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
        if (error != ERROR_ACCESS_DENIED && error != ERROR_PIPE_BUSY) {
            SetFailure(end, CREATE_FAILURE, error);
            return INVALID_HANDLE_VALUE;
        }
        // Once: a squatter that stays must not fill the logs. A later server
        // that meets one again says so again.
        if (!logged) {
            LogPrintf(L"%s (error %lu)", CREATE_FAILURE, error);
            ReportPipeNameHeldEvent(CONTROL_PIPE_NAME, error);
        }
        logged = true;
        if (WaitForStop(g_pipePlatform.createRetryMs, end))
            return INVALID_HANDLE_VALUE;
    }
}

}  // namespace

DWORD WINAPI PipeServerThread(LPVOID)
{
    ServerEnd end = {nullptr, NO_ERROR};
    HANDLE connectEvent = g_pipePlatform.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Manual reset, as GetOverlappedResult needs; each read resets it.
    HANDLE readEvent = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    PSECURITY_DESCRIPTOR security = nullptr;
    const WCHAR* allowedClients = g_policy.allowedClients[0] != L'\0' ? g_policy.allowedClients : nullptr;

    // Without the connect event no client could ever be seen.
    if (connectEvent == nullptr) {
        SetFailure(&end, L"Could not create the connect event", GetLastError());
        goto cleanup;
    }
    readEvent = g_pipePlatform.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (readEvent == nullptr) {
        SetFailure(&end, L"Could not create the read event", GetLastError());
        goto cleanup;
    }

    // The whole descriptor at creation: owner SYSTEM, which clients check,
    // and the list of who may use the pipe (Everyone, or exactly the SIDs an
    // administrator named).
    security = g_pipePlatform.BuildPipeSecurity(allowedClients);
    if (security == nullptr) {
        SetFailure(&end, GRANT_FAILURE, GetLastError());
        goto cleanup;
    }

    pipe = CreateControlPipe(security, &end);
    if (pipe == INVALID_HANDLE_VALUE)
        goto cleanup;

    // A pipe that not every user can open is never served, unless the policy
    // says who may. The descriptor holds the entry already: nothing is written.
    if (allowedClients == nullptr && !g_pipePlatform.GrantFullAccess(const_cast<BYTE*>(EveryoneSid), pipe)) {
        SetFailure(&end, GRANT_FAILURE, GetLastError());
        goto cleanup;
    }

    ServeClients(pipe, connectEvent, readEvent, &end);

cleanup:
    if (security != nullptr)
        LocalFree(security);
    if (connectEvent != nullptr)
        CloseHandle(connectEvent);
    if (readEvent != nullptr)
        CloseHandle(readEvent);
    if (pipe != INVALID_HANDLE_VALUE) {
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
    // After the pipe is closed: the stop that follows finds this thread ending.
    if (end.failure != nullptr)
        ReportServiceFailure(end.failure, end.error);
    ExitThread(0);
}
