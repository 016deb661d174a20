// The control pipe's request handler.
#include "pipe/request_handler.h"

#include <winternl.h>

#include "adapter/adapter_control.h"
#include "event/event_log.h"
#include "log/log.h"
#include "pipe/client_identity.h"
#include "pipe/control_message.h"
#include "pipe/pipe_platform.h"
#include "service/service_main.h"
#include "service/service_policy.h"
#include "tobra_wire.h"

namespace {

// Interval at which an expired flush is cancelled again, should the first
// cancel have come before the flush had started.
const DWORD FLUSH_CANCEL_REPEAT_MS = 50;

// Fresh pages are zero-filled: request bytes the read did not fill, and reply
// bytes that are never written, read as 0.
BYTE* AllocateMessageBuffer()
{
    return static_cast<BYTE*>(
        g_pipePlatform.VirtualAlloc(nullptr, CONTROL_MESSAGE_BUFFER_SIZE, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

// FILE_PIPE_LOCAL_INFORMATION, which only the driver kit's headers declare.
struct PipeLocalInformation {
    ULONG namedPipeType;
    ULONG namedPipeConfiguration;
    ULONG maximumInstances;
    ULONG currentInstances;
    ULONG inboundQuota;
    ULONG readDataAvailable;
    ULONG outboundQuota;
    ULONG writeQuotaAvailable;
    ULONG namedPipeState;
    ULONG namedPipeEnd;
};
const int PIPE_LOCAL_INFORMATION_CLASS = 24;  // FilePipeLocalInformation
const ULONG PIPE_CLOSING_STATE = 4;           // FILE_PIPE_CLOSING_STATE: the client has closed its end

// Bytes a client wrote before it closed its end stay readable, so the peek
// still succeeds; only the pipe's state tells that the rest will never come.
bool ClientHasClosed(HANDLE pipe)
{
    IO_STATUS_BLOCK status;
    PipeLocalInformation info = {};
    return NtQueryInformationFile(pipe, &status, &info, sizeof(info),
                                  static_cast<FILE_INFORMATION_CLASS>(PIPE_LOCAL_INFORMATION_CLASS)) >= 0 &&
           info.namedPipeState == PIPE_CLOSING_STATE;
}

// Any I/O on the pipe when the bound runs out is the flush: the pipe thread is
// inside FlushFileBuffers and does nothing else with the pipe.
void CALLBACK CancelFlush(PVOID pipe, BOOLEAN)
{
    CancelIoEx(static_cast<HANDLE>(pipe), nullptr);
}

// Without a timer no flush may run unbounded, and none may be skipped (the
// disconnect would throw the unread reply away): wait instead, a millisecond
// at a time, until the client has closed its end or the bound has passed.
// (The outbound quota cannot tell that the reply was read: under Wine it
// reads 0 before and after an unread write.)
void WaitForClientToClose(HANDLE pipe)
{
    DWORD start = GetTickCount();
    while (!ClientHasClosed(pipe) && GetTickCount() - start < g_pipePlatform.replyFlushTimeoutMs)
        Sleep(1);
}

// On the server end a flush returns once the client has read everything
// written (or has closed its end), so that the disconnect that follows does not
// throw away an unread reply. A timer cancels it after the bound.
void FlushReply(HANDLE pipe)
{
    HANDLE timer = nullptr;
    if (!g_pipePlatform.CreateTimerQueueTimer(&timer, nullptr, CancelFlush, pipe, g_pipePlatform.replyFlushTimeoutMs,
                                              FLUSH_CANCEL_REPEAT_MS, WT_EXECUTEINTIMERTHREAD)) {
        WaitForClientToClose(pipe);
        return;
    }
    FlushFileBuffers(pipe);  // a cancelled or failed flush changes nothing for the caller
    // Waits for a running callback, so that no cancel can reach later I/O on the pipe.
    DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
}

// The account costs a token read and a name lookup: read once, where it is
// used. False when the thread could not return to the service's identity,
// which stops the service: nothing may be served as a client.
bool ReadUserOnce(HANDLE pipe, WCHAR* user, bool* read)
{
    if (*read)
        return true;
    *read = true;
    if (ReadClientUser(pipe, user))
        return true;
    ReportServiceFailure(L"Could not return to the service's own identity", GetLastError());
    return false;
}

const WCHAR* ActionName(BYTE action)
{
    if (action == ACTION_RESTART)
        return L"Restart";
    return action == ACTION_DISABLE ? L"Disable" : L"Enable";
}

}  // namespace

int HandlePipeRequest(HANDLE pipe)
{
    int result = -1;
    BYTE* request = nullptr;
    BYTE* reply = nullptr;
    DWORD available = 0;
    DWORD read = 0;
    DWORD written = 0;
    DWORD replySize = 0;
    ControlMessageHeader header;
    ControlMessageHeader replyHeader;
    RequestDecision decision;
    AdapterOutcome outcome = {OUTCOME_NOTHING_ASKED, S_OK, S_OK, {}};
    DWORD processId = 0;
    WCHAR user[CLIENT_USER_CHARS] = CLIENT_USER_UNKNOWN;
    bool userRead = false;
    WCHAR address[TOBRA_ADDRESS_TEXT_CHARS];

    request = AllocateMessageBuffer();
    if (request == nullptr)
        return -1;

    // Only the count: the bytes stay in the pipe until a whole header is there.
    if (!g_pipePlatform.PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        // A client that has gone can never complete its header: drop it now, not at the time limit.
        DWORD error = GetLastError();
        result =
            error == ERROR_INVALID_HANDLE || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? -1 : 0;
        goto cleanup;
    }
    if (available < CONTROL_MESSAGE_HEADER_SIZE) {
        result = ClientHasClosed(pipe) ? -1 : 0;
        goto cleanup;
    }

    // At least 12 bytes are waiting, so this one read completes at once, also
    // without an OVERLAPPED record on the server's overlapped handle.
    if (!g_pipePlatform.ReadFile(pipe, request, CONTROL_MESSAGE_BUFFER_SIZE, &read, nullptr)) {
        DWORD error = GetLastError();
        LogPrintf(L"Got error %lu", error);
        goto cleanup;
    }

    // Logged before validation, so that refused requests show too.
    header = DecodeControlMessageHeader(request);
    processId = ReadClientProcessId(pipe);
    if (LogIsOn() && !ReadUserOnce(pipe, user, &userRead))
        goto cleanup;
    LogPrintf(L"*** Recv pipe message ***");
    LogPrintf(L"  Name: %s", CONTROL_PIPE_NAME);
    LogPrintf(L"  Command: %02X", static_cast<unsigned>(header.command));
    LogPrintf(L"  Data Size: %lu", static_cast<unsigned long>(header.dataSize));
    LogPrintf(L"  Client: %s (process %lu)", user, static_cast<unsigned long>(processId));

    reply = AllocateMessageBuffer();
    if (reply == nullptr)
        goto cleanup;

    // The decision looks only at what this one read returned; data that had not
    // arrived reads as zero, and whatever was not read goes with the disconnect.
    decision = DecideRequest(header, request[ADAPTER_ACTION_OFFSET]);
    if (!decision.reply)
        goto cleanup;

    // Requests that act on nothing make no event and need no account.
    if (decision.action != 0) {
        if (!ReadUserOnce(pipe, user, &userRead))
            goto cleanup;
        TobraFormatHardwareAddress(request + ADAPTER_ADDRESS_OFFSET, address);
    }

    // An administrator may have narrowed the adapters that can be switched.
    if (decision.action != 0 && !IsAdapterAllowed(request + ADAPTER_ADDRESS_OFFSET)) {
        LogPrintf(L"Adapter %s is not allowed by policy", address);
        ReportRefusalEvent(user, processId, address);
        decision.action = 0;
        decision.status = STATUS_NOT_DONE;
        outcome.outcome = OUTCOME_REFUSED;
    }

    // The address is handed over in place: the action byte and the zero-filled
    // rest of the buffer follow it, and the buffer lives until the call returns.
    // Only a version 2 reply carries what the action did.
    if (decision.action == ACTION_RESTART)
        g_pipePlatform.RestartAdapter(request + ADAPTER_ADDRESS_OFFSET, &outcome);
    else if (decision.action == ACTION_DISABLE)
        g_pipePlatform.DisableAdapter(request + ADAPTER_ADDRESS_OFFSET, &outcome);
    else if (decision.action == ACTION_ENABLE)
        g_pipePlatform.EnableAdapter(request + ADAPTER_ADDRESS_OFFSET, &outcome);
    if (decision.action != 0)
        ReportActionEvent(ActionName(decision.action), address, outcome.adapterName, outcome.outcome,
                          outcome.offResult, outcome.onResult, user, processId);

    replyHeader = MakeReplyHeader(header.command, decision.status, decision.version);
    EncodeControlMessageHeader(replyHeader, reply);
    if (decision.version == CONTROL_MESSAGE_VERSION_OUTCOME)
        EncodeOutcome(outcome.outcome, static_cast<DWORD>(outcome.offResult), static_cast<DWORD>(outcome.onResult),
                      reply + CONTROL_MESSAGE_HEADER_SIZE);
    // One write: a client reads the whole reply at once.
    replySize = CONTROL_MESSAGE_HEADER_SIZE + replyHeader.dataSize;
    if (!g_pipePlatform.WriteFile(pipe, reply, replySize, &written, nullptr) || written != replySize)
        goto cleanup;

    FlushReply(pipe);
    result = 1;

cleanup:
    if (reply != nullptr)
        VirtualFree(reply, 0, MEM_RELEASE);
    VirtualFree(request, 0, MEM_RELEASE);
    return result;
}
