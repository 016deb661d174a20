/* Tobra client library: one request and one reply per connection over the
 * service's control pipe, the whole exchange within one time limit. */
#include <windows.h>
#include <aclapi.h>

#include "tobra_client.h"
#include "tobra_client_platform.h"
#include "tobra_client_raw.h"
#include "tobra_text.h"

/* Room for any pipe's name as its file system gives it (a pipe name has at
 * most 256 characters). */
#define PIPE_FILE_NAME_CHARS 512

/* Wrappers, so that the table's initial values are constants in C. */
static HANDLE WINAPI OpenFileWithWindows(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                         DWORD disposition, DWORD flags, HANDLE templateFile)
{
    return CreateFileW(name, access, share, attributes, disposition, flags, templateFile);
}

static BOOL WINAPI ReadFileInformationWithWindows(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info,
                                                  DWORD size)
{
    return GetFileInformationByHandleEx(file, infoClass, info, size);
}

static DWORD WINAPI ReadSecurityWithWindows(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted,
                                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                            PSECURITY_DESCRIPTOR* descriptor)
{
    return GetSecurityInfo(handle, type, wanted, owner, group, dacl, sacl, descriptor);
}

static BOOL WINAPI ReadServerProcessIdWithWindows(HANDLE pipe, PULONG processId)
{
    return GetNamedPipeServerProcessId(pipe, processId);
}

static HANDLE WINAPI OpenProcessWithWindows(DWORD access, BOOL inherit, DWORD processId)
{
    return OpenProcess(access, inherit, processId);
}

TobraClientPlatform g_tobraClientPlatform = {OpenFileWithWindows, ReadFileInformationWithWindows,
                                             ReadSecurityWithWindows, ReadServerProcessIdWithWindows,
                                             OpenProcessWithWindows};

/* Time left of the limit counted from start; the unsigned difference stays
 * right when the tick count wraps. */
static DWORD Remaining(DWORD start, DWORD limit)
{
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= limit ? 0 : limit - elapsed;
}

/* Only a pipe on this machine: a file or a device would take the request as
 * data to write. */
static int IsLocalPipeName(const wchar_t* name)
{
    static const wchar_t prefix[] = L"\\\\.\\pipe\\";
    size_t i;
    for (i = 0; prefix[i] != L'\0'; ++i) {
        if (TobraFoldAscii(name[i]) != prefix[i])
            return 0;
    }
    return name[i] != L'\0';
}

/* Whether an open pipe is the service's. The caller's spelling does not
 * tell: "norva/Tobra Service", "Tobra Service." and "x\..\norva\Tobra
 * Service" all open it. The pipe file system's name for the handle does, in
 * the case its creator used. A name that cannot be read counts as the
 * service's, so that the checks run; so does the service's name as given. */
static int IsServicePipe(HANDLE pipe, const wchar_t* name, DWORD* error)
{
    union {
        FILE_NAME_INFO info;
        BYTE room[sizeof(FILE_NAME_INFO) + PIPE_FILE_NAME_CHARS * sizeof(WCHAR)];
    } fileName;
    DWORD chars;

    *error = 0;
    if (CompareStringOrdinal(name, -1, TOBRA_PIPE_NAME, -1, TRUE) == CSTR_EQUAL)
        return 1;
    if (!g_tobraClientPlatform.GetFileInformationByHandleEx(pipe, FileNameInfo, &fileName, sizeof(fileName))) {
        *error = GetLastError();
        return 1;
    }
    chars = fileName.info.FileNameLength / sizeof(WCHAR);
    if (chars > PIPE_FILE_NAME_CHARS)
        return 1;
    return CompareStringOrdinal(fileName.info.FileName, (int)chars, TOBRA_PIPE_FILE_NAME, -1, TRUE) == CSTR_EQUAL;
}

/* The service creates its pipe with the owner SYSTEM, which on Windows no
 * ordinary user can give an object; another program's pipe has its creator's
 * owner (under Wine, none at all). 0 when the owner is another (*error 0) or
 * cannot be read (*error says why). */
static int IsOwnedBySystem(HANDLE pipe, DWORD* error)
{
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    int system;

    *error = g_tobraClientPlatform.GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL,
                                                   NULL, NULL, &descriptor);
    if (*error != ERROR_SUCCESS)
        return 0;
    system = owner != NULL && IsValidSid(owner) && IsWellKnownSid(owner, WinLocalSystemSid);
    LocalFree(descriptor);
    return system;
}

/* What the server check keeps for the life of the process, shared by its
 * threads under a lock set up once: asking the service manager costs
 * milliseconds per request under Wine.
 * - The service manager's handle. The service's own handle is not kept:
 *   Windows removes a deleted service only once every handle to it is closed,
 *   so a kept one would hold off an uninstall or upgrade until this process
 *   ended.
 * - The process the manager last said runs the service, opened to wait on.
 *   While that handle is open the id cannot name another process, so a pipe
 *   served from that id while the process has not ended is the service's
 *   without asking the manager again. Opening it may be refused (the
 *   process's access list is the system's); then the manager is asked each
 *   time, as without it. */
static INIT_ONCE g_serviceQueryOnce = INIT_ONCE_STATIC_INIT;
static CRITICAL_SECTION g_serviceQueryLock;
static SC_HANDLE g_serviceManager = NULL;
static HANDLE g_serviceProcess = NULL;
static DWORD g_serviceProcessId = 0;

static BOOL CALLBACK InitializeServiceQueryLock(PINIT_ONCE once, PVOID parameter, PVOID* context)
{
    (void)once;
    (void)parameter;
    (void)context;
    InitializeCriticalSection(&g_serviceQueryLock);
    return TRUE;
}

/* The id of the process the service manager runs the service in (0 when it
 * runs none). A kept manager handle that no longer answers (the manager
 * restarted) is opened afresh once. 0 when the manager cannot tell (*error
 * says why). Called with the lock held. */
static int QueryServiceProcessId(DWORD* processId, DWORD* error)
{
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    int queried = 0;
    int attempt;

    for (attempt = 0; attempt < 2 && !queried; ++attempt) {
        int kept = g_serviceManager != NULL;
        SC_HANDLE service;
        if (!kept)
            g_serviceManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
        if (g_serviceManager == NULL) {
            *error = GetLastError();
            break;
        }
        service = OpenServiceW(g_serviceManager, TOBRA_SERVICE_NAME, SERVICE_QUERY_STATUS);
        if (service != NULL) {
            queried = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof(status), &needed);
            if (!queried)
                *error = GetLastError();
            CloseServiceHandle(service);
        } else {
            *error = GetLastError();
        }
        /* A service that does not exist is an answer, not a stale manager. */
        if (!queried && (!kept || *error == ERROR_SERVICE_DOES_NOT_EXIST))
            break;
        if (!queried) {
            CloseServiceHandle(g_serviceManager);
            g_serviceManager = NULL;
        }
    }
    if (queried)
        *processId = status.dwProcessId;
    return queried;
}

static int IsRunning(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

static void ForgetServiceProcess(void)
{
    if (g_serviceProcess != NULL)
        CloseHandle(g_serviceProcess);
    g_serviceProcess = NULL;
    g_serviceProcessId = 0;
}

/* Keeps the process the manager has just named. The id may have been reused
 * between the answer and the open, so the manager is asked once more with
 * the handle held; only a process that still runs under the id it names
 * again is kept. */
static void KeepServiceProcess(DWORD processId)
{
    DWORD again = 0;
    DWORD ignored = 0;
    HANDLE process = g_tobraClientPlatform.OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == NULL)
        return;
    if (QueryServiceProcessId(&again, &ignored) && again == processId && IsRunning(process)) {
        g_serviceProcess = process;
        g_serviceProcessId = processId;
        return;
    }
    CloseHandle(process);
}

/* Whether the service manager runs the service in the process `serverId`. 0
 * with *error 0 when it does not, with *error set when it cannot tell. */
static int IsServiceProcess(ULONG serverId, DWORD* error)
{
    DWORD serviceId = 0;
    int served = 0;

    InitOnceExecuteOnce(&g_serviceQueryOnce, InitializeServiceQueryLock, NULL, NULL);
    EnterCriticalSection(&g_serviceQueryLock);
    if (g_serviceProcess != NULL && g_serviceProcessId == serverId && IsRunning(g_serviceProcess)) {
        served = 1;
    } else {
        /* Ended, or another process serves: the manager decides. */
        if (g_serviceProcess != NULL && !IsRunning(g_serviceProcess))
            ForgetServiceProcess();
        if (QueryServiceProcessId(&serviceId, error)) {
            served = serviceId != 0 && serviceId == serverId;
            if (served && serviceId != g_serviceProcessId) {
                ForgetServiceProcess();
                KeepServiceProcess(serviceId);
            }
        }
    }
    LeaveCriticalSection(&g_serviceQueryLock);
    return served;
}

/* A program that took the pipe's name before the service (at a restart or an
 * upgrade) would get the request and could answer anything. The pipe must be
 * owned by SYSTEM and, as a second line, served by the process the service
 * manager runs the service in, which any interactive user may query. The
 * process id alone can be fooled: it names the process that created the
 * instance and outlives it, so a handle that an ended creator passed on
 * passes once the service starts under the same id. Fails closed: 0 when the
 * server is another program (*error 0) or when that cannot be told (*error
 * says why). */
static int IsServedByService(HANDLE pipe, DWORD* error)
{
    ULONG serverId = 0;

    if (!IsOwnedBySystem(pipe, error))
        return 0;
    if (!g_tobraClientPlatform.GetNamedPipeServerProcessId(pipe, &serverId)) {
        *error = GetLastError();
        return 0;
    }
    return IsServiceProcess(serverId, error);
}

#ifdef TOBRA_CLIENT_DLL
/* A DLL that is unloaded (FreeLibrary) closes what it kept; at the process's
 * end the system does, and another thread may hold the lock then. */
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    BOOL pending = TRUE;
    (void)instance;
    if (reason != DLL_PROCESS_DETACH || reserved != NULL)
        return TRUE;
    /* Nothing was kept before the first check set the lock up. */
    if (!InitOnceBeginInitialize(&g_serviceQueryOnce, INIT_ONCE_CHECK_ONLY, &pending, NULL) || pending)
        return TRUE;
    ForgetServiceProcess();
    if (g_serviceManager != NULL)
        CloseServiceHandle(g_serviceManager);
    g_serviceManager = NULL;
    DeleteCriticalSection(&g_serviceQueryLock);
    return TRUE;
}
#endif

/* Opens the pipe, waiting while another client is being served. */
static TobraResult OpenPipe(const wchar_t* name, DWORD start, DWORD limit, HANDLE* pipe, TobraOutcome* outcome)
{
    for (;;) {
        DWORD error;
        DWORD remaining;
        /* Identification only: whoever holds the server end may learn who we
         * are but cannot act as us. */
        HANDLE handle = g_tobraClientPlatform.CreateFileW(
            name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
        if (handle != INVALID_HANDLE_VALUE) {
            /* A name such as "\\.\pipe\..\x" leaves the pipe namespace. */
            if (GetFileType(handle) != FILE_TYPE_PIPE) {
                CloseHandle(handle);
                outcome->error = ERROR_BAD_PIPE;
                return TOBRA_CANNOT_CONNECT;
            }
            *pipe = handle;
            return TOBRA_DONE;
        }
        error = GetLastError();
        if (error != ERROR_PIPE_BUSY) {
            outcome->error = error; /* ERROR_FILE_NOT_FOUND: the service is not running */
            return TOBRA_CANNOT_CONNECT;
        }
        /* WaitNamedPipe takes 0 as "the server's default wait", so a limit
         * that has run out is not passed on. Another client may win the
         * instance after the wait; then the open is tried again. */
        remaining = Remaining(start, limit);
        if (remaining == 0 || !WaitNamedPipeW(name, remaining)) {
            error = remaining == 0 ? ERROR_SEM_TIMEOUT : GetLastError();
            if (error == ERROR_SEM_TIMEOUT) {
                outcome->timedOut = 1;
                error = ERROR_PIPE_BUSY;
            }
            outcome->error = error;
            return TOBRA_CANNOT_CONNECT;
        }
    }
}

/* Finishes an overlapped transfer that ReadFile or WriteFile started (their
 * result is `started`) within the limit. Returns 0 or a Windows error code. A
 * transfer still running at the limit is cancelled and waited for, so that
 * nothing refers to the record or the buffer afterwards. */
static DWORD Complete(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, DWORD start, DWORD limit, DWORD* transferred,
                      int* timedOut)
{
    *transferred = 0;
    if (!started) {
        DWORD error = GetLastError();
        DWORD wait;
        if (error != ERROR_IO_PENDING)
            return error;
        wait = WaitForSingleObject(overlapped->hEvent, Remaining(start, limit));
        if (wait != WAIT_OBJECT_0) {
            error = wait == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
            CancelIo(pipe);
            GetOverlappedResult(pipe, overlapped, transferred, TRUE);
            *transferred = 0;
            if (wait == WAIT_TIMEOUT)
                *timedOut = 1;
            return error;
        }
    }
    if (!GetOverlappedResult(pipe, overlapped, transferred, FALSE))
        return GetLastError();
    return 0;
}

static int IsEndOfConnection(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

/* Connects, writes the request in one write and reads the answer into reply:
 * replyCapacity bytes (readToEnd 0; bytes already behind them make the answer
 * longer), or everything until the service closes the connection (readToEnd 1),
 * never more than replyCapacity. All within the limit counted from start.
 * TOBRA_DONE when the exchange ran (outcome->replySize says what came back),
 * else the failure. */
static TobraResult Exchange(const wchar_t* pipeName, const unsigned char* request, DWORD requestSize, DWORD start,
                            DWORD limit, unsigned char* reply, DWORD replyCapacity, int readToEnd,
                            TobraOutcome* outcome)
{
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped;
    DWORD received = 0;
    DWORD transferred = 0;
    DWORD error = 0;
    DWORD kept;
    TobraResult result;

    if (!IsLocalPipeName(pipeName))
        return TOBRA_BAD_ARGUMENT;
    result = OpenPipe(pipeName, start, limit, &pipe, outcome);
    if (result != TOBRA_DONE)
        return result;
    if (IsServicePipe(pipe, pipeName, &error) && (IsEndOfConnection(error) || !IsServedByService(pipe, &error))) {
        outcome->error = error;
        CloseHandle(pipe);
        /* A server that dropped the connection while it was being checked has
         * been sent nothing and can be told nothing. */
        return IsEndOfConnection(error) ? TOBRA_NO_REPLY : TOBRA_NOT_THE_SERVICE;
    }

    ZeroMemory(&overlapped, sizeof(overlapped));
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL); /* manual reset, as GetOverlappedResult needs */
    if (overlapped.hEvent == NULL) {
        outcome->error = GetLastError();
        CloseHandle(pipe);
        return TOBRA_CANNOT_CONNECT;
    }

    /* One write: the service acts on what its one read finds. */
    if (requestSize > 0) {
        error = Complete(pipe, &overlapped, WriteFile(pipe, request, requestSize, NULL, &overlapped), start, limit,
                         &transferred, &outcome->timedOut);
        if (error != 0 || transferred != requestSize) {
            outcome->error = error != 0 ? error : ERROR_WRITE_FAULT;
            result = TOBRA_NO_REPLY;
            goto cleanup;
        }
    }
    outcome->requestSent = 1;

    while (received < replyCapacity) {
        error =
            Complete(pipe, &overlapped, ReadFile(pipe, reply + received, replyCapacity - received, NULL, &overlapped),
                     start, limit, &transferred, &outcome->timedOut);
        if (error != 0)
            break; /* the service closed the connection, or the limit passed */
        received += transferred;
    }
    if (error != 0 && !(IsEndOfConnection(error) && received > 0))
        outcome->error = error;

    outcome->replySize = received;
    kept = received < TOBRA_HEADER_SIZE ? received : TOBRA_HEADER_SIZE;
    CopyMemory(outcome->reply, reply, kept);
    if (!readToEnd && received == replyCapacity) {
        /* Bytes already behind the reply make it the wrong size. */
        DWORD waiting = 0;
        if (PeekNamedPipe(pipe, NULL, 0, NULL, &waiting, NULL))
            outcome->replySize += waiting;
    }
    result = TOBRA_DONE;

cleanup:
    CloseHandle(overlapped.hEvent);
    CloseHandle(pipe);
    return result;
}

static void ClearOutcome(TobraOutcome* outcome)
{
    ZeroMemory(outcome, sizeof(*outcome));
}

static DWORD Limit(unsigned long timeoutMs)
{
    return timeoutMs == 0 ? TOBRA_DEFAULT_TIMEOUT_MS : (DWORD)timeoutMs;
}

static void WriteWord(unsigned char* bytes, unsigned value)
{
    bytes[0] = (unsigned char)(value & 0xFF);
    bytes[1] = (unsigned char)(value >> 8);
}

/* A request's 12-byte header; status and reserved zero, the data size below 256. */
static void BuildHeader(unsigned version, unsigned char command, unsigned char dataSize,
                        unsigned char header[TOBRA_HEADER_SIZE])
{
    ZeroMemory(header, TOBRA_HEADER_SIZE);
    WriteWord(header + TOBRA_OFFSET_MAGIC, TOBRA_MESSAGE_MAGIC);
    WriteWord(header + TOBRA_OFFSET_VERSION, version);
    header[TOBRA_OFFSET_COMMAND] = command;
    header[TOBRA_OFFSET_DATA_SIZE] = dataSize;
}

/* The adapter request in the given version. */
static void BuildRequest(const unsigned char* hardwareAddress, unsigned char action, unsigned version,
                         unsigned char request[TOBRA_ADAPTER_REQUEST_SIZE])
{
    BuildHeader(version, TOBRA_COMMAND_ADAPTER, TOBRA_ADAPTER_DATA_SIZE, request);
    CopyMemory(request + TOBRA_OFFSET_ADDRESS, hardwareAddress, TOBRA_HARDWARE_ADDRESS_SIZE);
    request[TOBRA_OFFSET_ACTION] = action;
}

TobraResult TobraSendAdapterRequest(const wchar_t* pipeName, const unsigned char* hardwareAddress, unsigned char action,
                                    unsigned long timeoutMs, TobraOutcome* outcome)
{
    TobraOutcome local;
    unsigned char request[TOBRA_ADAPTER_REQUEST_SIZE];
    unsigned char reply[TOBRA_HEADER_SIZE];
    TobraResult result;

    if (outcome == NULL)
        outcome = &local;
    ClearOutcome(outcome);
    if (hardwareAddress == NULL || TobraBuildAdapterRequest(hardwareAddress, action, request) == 0)
        return TOBRA_BAD_ARGUMENT;
    ZeroMemory(reply, sizeof(reply));
    result = Exchange(pipeName == NULL ? TOBRA_PIPE_NAME : pipeName, request, sizeof(request), GetTickCount(),
                      Limit(timeoutMs), reply, sizeof(reply), 0, outcome);
    return result == TOBRA_DONE ? TobraCheckReply(reply, outcome->replySize, TOBRA_COMMAND_ADAPTER) : result;
}

TobraResult TobraRestartAdapter(const wchar_t* pipeName, const unsigned char* hardwareAddress, unsigned long timeoutMs,
                                TobraOutcome* outcome)
{
    return TobraSendAdapterRequest(pipeName, hardwareAddress, TOBRA_ACTION_RESTART, timeoutMs, outcome);
}

TobraResult TobraDisableAdapter(const wchar_t* pipeName, const unsigned char* hardwareAddress, unsigned long timeoutMs,
                                TobraOutcome* outcome)
{
    return TobraSendAdapterRequest(pipeName, hardwareAddress, TOBRA_ACTION_DISABLE, timeoutMs, outcome);
}

/* A probe that went whole and was then dropped without a reply. */
static int IsDroppedUnanswered(const TobraOutcome* outcome)
{
    return outcome->requestSent && outcome->replySize == 0 && !outcome->timedOut && IsEndOfConnection(outcome->error);
}

/* Asks which version the service speaks with a version 2 request of a command
 * that never acts: a version 2 reply means 2. A version 1 service drops such a
 * request without a reply, but so does a service that is stopping; only two
 * probes in a row, each written whole and dropped, mean 1. When the second
 * gets no answer at all, not even a drop, the result is TOBRA_NO_REPLY.
 * *version is set and the result is TOBRA_DONE; else the failure, and
 * outcome tells of the last probe. */
static TobraResult ProbeVersion(const wchar_t* pipeName, DWORD start, DWORD limit, TobraOutcome* outcome,
                                unsigned* version)
{
    unsigned char probe[TOBRA_HEADER_SIZE];
    unsigned char reply[TOBRA_OUTCOME_REPLY_SIZE + 1];
    TobraResult result;
    int probes;

    BuildHeader(TOBRA_MESSAGE_VERSION_OUTCOME, TOBRA_COMMAND_PROBE, 0, probe);
    for (probes = 1;; ++probes) {
        ClearOutcome(outcome);
        ZeroMemory(reply, sizeof(reply));
        result = Exchange(pipeName, probe, sizeof(probe), start, limit, reply, sizeof(reply), 1, outcome);
        if (result != TOBRA_DONE)
            break;
        if (!IsDroppedUnanswered(outcome)) {
            result = TobraCheckOutcomeReply(reply, outcome->replySize, TOBRA_COMMAND_PROBE, NULL);
            if (result == TOBRA_NOT_DONE) {
                *version = TOBRA_MESSAGE_VERSION_OUTCOME;
                return TOBRA_DONE;
            }
            return result == TOBRA_NO_REPLY ? TOBRA_NO_REPLY : TOBRA_BAD_REPLY;
        }
        if (probes == 2) {
            *version = TOBRA_MESSAGE_VERSION;
            return TOBRA_DONE;
        }
    }
    /* Connected once, and then gone or never free again. */
    return probes == 2 && result == TOBRA_CANNOT_CONNECT ? TOBRA_NO_REPLY : result;
}

TobraResult TobraSendAdapterRequestWithReport(const wchar_t* pipeName, const unsigned char* hardwareAddress,
                                              unsigned char action, unsigned long timeoutMs, TobraOutcome* outcome,
                                              TobraAdapterReport* report)
{
    TobraOutcome local;
    TobraAdapterReport localReport;
    unsigned char request[TOBRA_ADAPTER_REQUEST_SIZE];
    unsigned char reply[TOBRA_OUTCOME_REPLY_SIZE];
    DWORD start = GetTickCount();
    DWORD limit = Limit(timeoutMs);
    unsigned version = 0;
    TobraResult result;

    if (outcome == NULL)
        outcome = &local;
    if (report == NULL)
        report = &localReport;
    ClearOutcome(outcome);
    ZeroMemory(report, sizeof(*report));
    if (hardwareAddress == NULL ||
        (action != TOBRA_ACTION_RESTART && action != TOBRA_ACTION_DISABLE && action != TOBRA_ACTION_ENABLE))
        return TOBRA_BAD_ARGUMENT;
    if (pipeName == NULL)
        pipeName = TOBRA_PIPE_NAME;

    result = ProbeVersion(pipeName, start, limit, outcome, &version);
    /* The outcome tells of the adapter request, which has not been sent. */
    outcome->requestSent = 0;
    if (result != TOBRA_DONE)
        return result;
    ClearOutcome(outcome);
    report->version = version;
    /* A version 1 service knows no enable: it would answer "not done" and
     * say nothing of why. Nothing is sent. */
    if (action == TOBRA_ACTION_ENABLE && version != TOBRA_MESSAGE_VERSION_OUTCOME) {
        outcome->error = ERROR_NOT_SUPPORTED;
        return TOBRA_NOT_DONE;
    }

    BuildRequest(hardwareAddress, action, version, request);
    ZeroMemory(reply, sizeof(reply));
    result =
        Exchange(pipeName, request, sizeof(request), start, limit, reply,
                 version == TOBRA_MESSAGE_VERSION_OUTCOME ? TOBRA_OUTCOME_REPLY_SIZE : TOBRA_HEADER_SIZE, 0, outcome);
    if (result != TOBRA_DONE)
        return result;
    if (version == TOBRA_MESSAGE_VERSION_OUTCOME)
        return TobraCheckOutcomeReply(reply, outcome->replySize, TOBRA_COMMAND_ADAPTER, report);
    return TobraCheckReply(reply, outcome->replySize, TOBRA_COMMAND_ADAPTER);
}

TobraResult TobraRestartAdapterWithReport(const wchar_t* pipeName, const unsigned char* hardwareAddress,
                                          unsigned long timeoutMs, TobraOutcome* outcome, TobraAdapterReport* report)
{
    return TobraSendAdapterRequestWithReport(pipeName, hardwareAddress, TOBRA_ACTION_RESTART, timeoutMs, outcome,
                                             report);
}

TobraResult TobraDisableAdapterWithReport(const wchar_t* pipeName, const unsigned char* hardwareAddress,
                                          unsigned long timeoutMs, TobraOutcome* outcome, TobraAdapterReport* report)
{
    return TobraSendAdapterRequestWithReport(pipeName, hardwareAddress, TOBRA_ACTION_DISABLE, timeoutMs, outcome,
                                             report);
}

TobraResult TobraEnableAdapterWithReport(const wchar_t* pipeName, const unsigned char* hardwareAddress,
                                         unsigned long timeoutMs, TobraOutcome* outcome, TobraAdapterReport* report)
{
    return TobraSendAdapterRequestWithReport(pipeName, hardwareAddress, TOBRA_ACTION_ENABLE, timeoutMs, outcome,
                                             report);
}

TobraResult TobraEnableAdapter(const wchar_t* pipeName, const unsigned char* hardwareAddress, unsigned long timeoutMs,
                               TobraOutcome* outcome)
{
    return TobraEnableAdapterWithReport(pipeName, hardwareAddress, timeoutMs, outcome, NULL);
}

TobraResult TobraExchangeRaw(const wchar_t* pipeName, const void* request, unsigned long requestSize,
                             unsigned long timeoutMs, unsigned char* reply, unsigned long replyCapacity,
                             TobraOutcome* outcome)
{
    TobraOutcome local;
    const unsigned char* bytes = (const unsigned char*)request;
    int command;
    TobraResult result;

    if (outcome == NULL)
        outcome = &local;
    ClearOutcome(outcome);
    if ((bytes == NULL && requestSize > 0) || requestSize > TOBRA_MAX_REQUEST_SIZE || reply == NULL ||
        replyCapacity == 0)
        return TOBRA_BAD_ARGUMENT;
    ZeroMemory(reply, replyCapacity);
    result = Exchange(pipeName == NULL ? TOBRA_PIPE_NAME : pipeName, bytes, (DWORD)requestSize, GetTickCount(),
                      Limit(timeoutMs), reply, (DWORD)replyCapacity, 1, outcome);
    if (result != TOBRA_DONE)
        return result;
    /* Judged as the reply to the request's own command, in the request's version. */
    command = requestSize > TOBRA_OFFSET_COMMAND ? bytes[TOBRA_OFFSET_COMMAND] : -1;
    if (requestSize > TOBRA_OFFSET_VERSION + 1 && bytes[TOBRA_OFFSET_VERSION] == TOBRA_MESSAGE_VERSION_OUTCOME &&
        bytes[TOBRA_OFFSET_VERSION + 1] == 0)
        return TobraCheckOutcomeReply(reply, outcome->replySize, command, NULL);
    return TobraCheckReply(reply, outcome->replySize, command);
}

unsigned long TobraBuildAdapterRequest(const unsigned char* hardwareAddress, unsigned char action,
                                       unsigned char request[TOBRA_ADAPTER_REQUEST_SIZE])
{
    if (action != TOBRA_ACTION_RESTART && action != TOBRA_ACTION_DISABLE)
        return 0;
    BuildRequest(hardwareAddress, action, TOBRA_MESSAGE_VERSION, request);
    return TOBRA_ADAPTER_REQUEST_SIZE;
}

static unsigned ReadWord(const unsigned char* bytes)
{
    return (unsigned)bytes[0] | ((unsigned)bytes[1] << 8);
}

static unsigned long ReadLong(const unsigned char* bytes)
{
    return (unsigned long)bytes[0] | ((unsigned long)bytes[1] << 8) | ((unsigned long)bytes[2] << 16) |
           ((unsigned long)bytes[3] << 24);
}

TobraResult TobraCheckReply(const unsigned char* reply, unsigned long replySize, int command)
{
    if (replySize == 0)
        return TOBRA_NO_REPLY;
    /* The service writes exactly a header: magic, version 1, the request's
     * command, a status of 0 or 1, no data. The reserved word is not judged. */
    if (replySize != TOBRA_HEADER_SIZE || ReadWord(reply + TOBRA_OFFSET_MAGIC) != TOBRA_MESSAGE_MAGIC ||
        ReadWord(reply + TOBRA_OFFSET_VERSION) != TOBRA_MESSAGE_VERSION ||
        (command >= 0 && reply[TOBRA_OFFSET_COMMAND] != command) ||
        (reply[TOBRA_OFFSET_DATA_SIZE] | reply[TOBRA_OFFSET_DATA_SIZE + 1] | reply[TOBRA_OFFSET_DATA_SIZE + 2] |
         reply[TOBRA_OFFSET_DATA_SIZE + 3]) != 0)
        return TOBRA_BAD_REPLY;
    switch (reply[TOBRA_OFFSET_STATUS]) {
    case TOBRA_STATUS_DONE:
        return TOBRA_DONE;
    case TOBRA_STATUS_NOT_DONE:
        return TOBRA_NOT_DONE;
    default:
        return TOBRA_BAD_REPLY;
    }
}

TobraResult TobraCheckOutcomeReply(const unsigned char* reply, unsigned long replySize, int command,
                                   TobraAdapterReport* report)
{
    unsigned long outcome;
    if (replySize == 0)
        return TOBRA_NO_REPLY;
    /* A version 2 header with the outcome's 12 bytes; the reserved word is not judged. */
    if (replySize != TOBRA_OUTCOME_REPLY_SIZE || ReadWord(reply + TOBRA_OFFSET_MAGIC) != TOBRA_MESSAGE_MAGIC ||
        ReadWord(reply + TOBRA_OFFSET_VERSION) != TOBRA_MESSAGE_VERSION_OUTCOME ||
        (command >= 0 && reply[TOBRA_OFFSET_COMMAND] != command) ||
        ReadLong(reply + TOBRA_OFFSET_DATA_SIZE) != TOBRA_OUTCOME_DATA_SIZE)
        return TOBRA_BAD_REPLY;
    /* Nothing asked and refused come with status 0, the others with 1. */
    outcome = ReadLong(reply + TOBRA_OFFSET_OUTCOME);
    switch (outcome) {
    case TOBRA_OUTCOME_NOTHING_ASKED:
    case TOBRA_OUTCOME_REFUSED:
        if (reply[TOBRA_OFFSET_STATUS] != TOBRA_STATUS_NOT_DONE)
            return TOBRA_BAD_REPLY;
        break;
    case TOBRA_OUTCOME_SWITCHED:
    case TOBRA_OUTCOME_NO_ADAPTER:
    case TOBRA_OUTCOME_FAILED:
    case TOBRA_OUTCOME_LIST_UNAVAILABLE:
        if (reply[TOBRA_OFFSET_STATUS] != TOBRA_STATUS_DONE)
            return TOBRA_BAD_REPLY;
        break;
    default:
        return TOBRA_BAD_REPLY;
    }
    if (report != NULL) {
        report->reported = 1;
        report->version = TOBRA_MESSAGE_VERSION_OUTCOME;
        report->outcome = outcome;
        report->offResult = ReadLong(reply + TOBRA_OFFSET_OFF_RESULT);
        report->onResult = ReadLong(reply + TOBRA_OFFSET_ON_RESULT);
    }
    return reply[TOBRA_OFFSET_STATUS] == TOBRA_STATUS_DONE ? TOBRA_DONE : TOBRA_NOT_DONE;
}

const wchar_t* TobraResultText(TobraResult result)
{
    switch (result) {
    case TOBRA_DONE:
        return L"done";
    case TOBRA_NOT_DONE:
        return L"not done";
    case TOBRA_NO_REPLY:
        return L"no reply";
    case TOBRA_CANNOT_CONNECT:
        return L"cannot connect";
    case TOBRA_BAD_REPLY:
        return L"invalid reply";
    case TOBRA_BAD_ARGUMENT:
        return L"bad argument";
    case TOBRA_NOT_THE_SERVICE:
        return L"the pipe is not served by Tobra Service";
    }
    return L"unknown result";
}

unsigned long TobraClientVersion(void)
{
    return TOBRA_CLIENT_VERSION;
}
