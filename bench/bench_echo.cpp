// tobra_bench_echo: the floor for the control pipe's round trip. A service of
// its own ("Tobra Bench Echo"), started by the service control manager like
// Tobra Service, that serves one instance of a pipe created exactly as the
// control pipe is (same open mode, pipe mode and buffers) and answers each
// client by echoing its 12-byte request. It does nothing the service does
// beyond moving bytes: no polling, no buffers to allocate, no log, no decision.
//
// With "-impostor FILE" it is instead another program registered as "Tobra
// Service": it creates the service's own pipe with the default descriptor and
// answers every request as the service would, with every adapter "switched".
// At its stop it writes to FILE how many clients connected and how many bytes
// they sent ("connections=N bytes=M"). The process-id check of a client passes
// for it; nothing else about it is the service's.
#include <windows.h>

#include <stdio.h>

#include "adapter/adapter_control.h"
#include "bench_names.h"
#include "pipe/control_message.h"
#include "pipe/pipe_server.h"

namespace {

// A client that sends nothing is dropped after this long; the benchmark's
// clients always send at once.
const DWORD ECHO_READ_TIMEOUT_MS = 5000;

SERVICE_STATUS_HANDLE g_echoStatusHandle = nullptr;
HANDLE g_echoStopEvent = nullptr;
// Set by wmain before the dispatcher starts: null for the echo floor.
const wchar_t* g_impostorRecord = nullptr;
DWORD g_impostorConnections = 0;
DWORD g_impostorBytes = 0;

void ReportEchoStatus(DWORD state, DWORD exitCode)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = exitCode;
    SetServiceStatus(g_echoStatusHandle, &status);
}

DWORD WINAPI EchoControlHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP) {
        ReportEchoStatus(SERVICE_STOP_PENDING, NO_ERROR);
        SetEvent(g_echoStopEvent);
    }
    return NO_ERROR;
}

// Waits for an overlapped transfer; the byte count, or -1 (the transfer is
// then cancelled and finished, so nothing refers to the record afterwards).
long Finish(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, DWORD timeoutMs)
{
    DWORD done = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return -1;
    if (WaitForSingleObject(overlapped->hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, overlapped, &done, TRUE);
        return -1;
    }
    return GetOverlappedResult(pipe, overlapped, &done, FALSE) ? static_cast<long>(done) : -1;
}

void Echo(HANDLE pipe, HANDLE ioEvent)
{
    BYTE request[CONTROL_MESSAGE_HEADER_SIZE];
    DWORD received = 0;
    OVERLAPPED overlapped;
    while (received < sizeof(request)) {
        ZeroMemory(&overlapped, sizeof(overlapped));
        overlapped.hEvent = ioEvent;
        long read = Finish(pipe, &overlapped,
                           ReadFile(pipe, request + received, sizeof(request) - received, nullptr, &overlapped),
                           ECHO_READ_TIMEOUT_MS);
        if (read <= 0)
            return;
        received += static_cast<DWORD>(read);
    }
    ZeroMemory(&overlapped, sizeof(overlapped));
    overlapped.hEvent = ioEvent;
    if (Finish(pipe, &overlapped, WriteFile(pipe, request, sizeof(request), nullptr, &overlapped),
               ECHO_READ_TIMEOUT_MS) != static_cast<long>(sizeof(request)))
        return;
    // As the service does: the disconnect must not throw the reply away.
    FlushFileBuffers(pipe);
}

// The impostor's answer: the service's decision, and "switched" for any action.
void AnswerAsTheService(HANDLE pipe, HANDLE ioEvent)
{
    static BYTE request[CONTROL_MESSAGE_BUFFER_SIZE];
    BYTE reply[CONTROL_MESSAGE_HEADER_SIZE + OUTCOME_DATA_SIZE];
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof(overlapped));
    overlapped.hEvent = ioEvent;
    ++g_impostorConnections;
    // A client writes its request in one write; one that leaves adds nothing.
    long read =
        Finish(pipe, &overlapped, ReadFile(pipe, request, sizeof(request), nullptr, &overlapped), ECHO_READ_TIMEOUT_MS);
    if (read <= 0)
        return;
    g_impostorBytes += static_cast<DWORD>(read);
    if (read < static_cast<long>(CONTROL_MESSAGE_HEADER_SIZE))
        return;
    ControlMessageHeader header = DecodeControlMessageHeader(request);
    BYTE action = read > static_cast<long>(ADAPTER_ACTION_OFFSET) ? request[ADAPTER_ACTION_OFFSET] : 0;
    RequestDecision decision = DecideRequest(header, action);
    if (!decision.reply)
        return;
    EncodeControlMessageHeader(MakeReplyHeader(header.command, decision.status, decision.version), reply);
    DWORD size = CONTROL_MESSAGE_HEADER_SIZE;
    if (decision.version == CONTROL_MESSAGE_VERSION_OUTCOME) {
        EncodeOutcome(decision.action != 0 ? OUTCOME_SWITCHED : OUTCOME_NOTHING_ASKED, S_OK, S_OK,
                      reply + CONTROL_MESSAGE_HEADER_SIZE);
        size += OUTCOME_DATA_SIZE;
    }
    ZeroMemory(&overlapped, sizeof(overlapped));
    overlapped.hEvent = ioEvent;
    if (Finish(pipe, &overlapped, WriteFile(pipe, reply, size, nullptr, &overlapped), ECHO_READ_TIMEOUT_MS) ==
        static_cast<long>(size))
        FlushFileBuffers(pipe);
}

// What the impostor's clients sent, for the test that ran it.
void WriteImpostorRecord()
{
    HANDLE file = CreateFileW(g_impostorRecord, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char text[64];
    int length =
        snprintf(text, sizeof(text), "connections=%lu bytes=%lu\r\n", static_cast<unsigned long>(g_impostorConnections),
                 static_cast<unsigned long>(g_impostorBytes));
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

void ServeEchoClients(HANDLE pipe, HANDLE connectEvent, HANDLE ioEvent)
{
    void (*answer)(HANDLE, HANDLE) = g_impostorRecord != nullptr ? AnswerAsTheService : Echo;
    OVERLAPPED connect;
    for (;;) {
        ZeroMemory(&connect, sizeof(connect));
        connect.hEvent = connectEvent;
        if (!ConnectNamedPipe(pipe, &connect)) {
            DWORD error = GetLastError();
            if (error == ERROR_NO_DATA) {
                ++g_impostorConnections;  // a client came and went before the call
                DisconnectNamedPipe(pipe);
                continue;
            }
            if (error == ERROR_PIPE_CONNECTED) {
                answer(pipe, ioEvent);
                DisconnectNamedPipe(pipe);
                continue;
            }
            if (error != ERROR_IO_PENDING)
                return;
        }
        HANDLE waitList[2] = {g_echoStopEvent, connectEvent};
        if (WaitForMultipleObjects(2, waitList, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            DWORD ignored = 0;
            CancelIo(pipe);
            GetOverlappedResult(pipe, &connect, &ignored, TRUE);
            return;
        }
        answer(pipe, ioEvent);
        DisconnectNamedPipe(pipe);
    }
}

void WINAPI EchoServiceMain(DWORD, LPWSTR*)
{
    g_echoStatusHandle = RegisterServiceCtrlHandlerExW(BENCH_ECHO_SERVICE_NAME, EchoControlHandler, nullptr);
    if (g_echoStatusHandle == nullptr)
        return;
    DWORD exitCode = NO_ERROR;
    g_echoStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE connectEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE pipe =
        CreateNamedPipeW(g_impostorRecord != nullptr ? CONTROL_PIPE_NAME : BENCH_ECHO_PIPE_NAME, CONTROL_PIPE_OPEN_MODE,
                         CONTROL_PIPE_MODE, CONTROL_PIPE_MAX_INSTANCES, CONTROL_PIPE_BUFFER_SIZE,
                         CONTROL_PIPE_BUFFER_SIZE, CONTROL_PIPE_DEFAULT_TIMEOUT_MS, nullptr);
    if (g_echoStopEvent == nullptr || connectEvent == nullptr || ioEvent == nullptr || pipe == INVALID_HANDLE_VALUE) {
        exitCode = GetLastError();
    } else {
        ReportEchoStatus(SERVICE_RUNNING, NO_ERROR);
        ServeEchoClients(pipe, connectEvent, ioEvent);
    }
    if (pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe);
    if (ioEvent != nullptr)
        CloseHandle(ioEvent);
    if (connectEvent != nullptr)
        CloseHandle(connectEvent);
    if (g_impostorRecord != nullptr)
        WriteImpostorRecord();
    ReportEchoStatus(SERVICE_STOPPED, exitCode);
    // No control comes after the stopped report.
    if (g_echoStopEvent != nullptr)
        CloseHandle(g_echoStopEvent);
    g_echoStopEvent = nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && lstrcmpW(argv[1], L"-impostor") == 0)
        g_impostorRecord = argv[2];
    SERVICE_TABLE_ENTRYW table[2] = {
        {const_cast<LPWSTR>(BENCH_ECHO_SERVICE_NAME), EchoServiceMain},
        {nullptr, nullptr},
    };
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
