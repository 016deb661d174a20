#include "fault_support.h"

#include <stdio.h>

#include "pipe/control_message.h"
#include "pipe/pipe_server.h"
#include "support/test_support.h"
#include "service/service_entry.h"
#include "service/service_main.h"
#include "service/service_window.h"

namespace faults {

AdapterActions g_actions;

namespace {

ServiceSeam* g_current = nullptr;
const SERVICE_STATUS_HANDLE FAKE_STATUS_HANDLE = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5A5A);

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

int CountedAction(const BYTE*)
{
    ++g_actions.started;
    if (g_actions.delayMs != 0)
        Sleep(g_actions.delayMs);
    ++g_actions.finished;
    return 1;
}

SERVICE_STATUS_HANDLE WINAPI FakeRegisterServiceCtrlHandlerW(LPCWSTR, LPHANDLER_FUNCTION)
{
    return FAKE_STATUS_HANDLE;
}

BOOL WINAPI FakeSetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    return g_current->SetServiceStatus(status);
}

HANDLE WINAPI FailingCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                  LPCWSTR name)
{
    ServiceSeam* seam = g_current;
    if (seam->NextEventCall() == seam->failedEvent) {
        SetLastError(seam->eventError);
        return nullptr;
    }
    return ::CreateEventW(attributes, manualReset, initialState, name);
}

// The real threads; a duplicate of each handle stays with the seam.
HANDLE WINAPI RecordingCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                    LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags, LPDWORD id)
{
    HANDLE thread = ::CreateThread(attributes, stackSize, routine, parameter, flags, id);
    HANDLE* copy = routine == ServiceWindowThread ? &g_current->windowThread
                   : routine == PipeServerThread  ? &g_current->pipeThread
                                                  : nullptr;
    if (thread != nullptr && copy != nullptr)
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return thread;
}

BOOL WINAPI FailingGetMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax)
{
    ServiceSeam* seam = g_current;
    if (seam->NextMessageCall() == seam->failedGetMessage) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    return ::GetMessageW(message, window, filterMin, filterMax);
}

BOOL WINAPI FailingGetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    if (g_current->failExitCodeQuery) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::GetExitCodeThread(thread, exitCode);
}

DWORD WINAPI RunServiceMain(LPVOID)
{
    ServiceMain(0, nullptr);
    return 0;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (predicate())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(1);
    }
}

DWORD HandleCount()
{
    return test::ProcessHandleCount();
}

DWORD HandleCountSettledAt(DWORD expected, DWORD timeoutMs)
{
    DWORD count = 0;
    WaitUntil(
        [&] {
            count = HandleCount();
            return count == expected;
        },
        timeoutMs);
    return count;
}

bool Signalled(HANDLE handle, DWORD timeoutMs)
{
    return handle != nullptr && WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0;
}

std::string Header(WORD magic, WORD version, BYTE command, DWORD dataSize)
{
    return Bytes({magic & 0xFF, magic >> 8, version & 0xFF, version >> 8, command, 0, 0, 0,
                  static_cast<int>(dataSize & 0xFF), static_cast<int>((dataSize >> 8) & 0xFF),
                  static_cast<int>((dataSize >> 16) & 0xFF), static_cast<int>(dataSize >> 24)});
}

std::string AdapterRequest(BYTE action)
{
    return Header(CONTROL_MESSAGE_MAGIC, 1, COMMAND_ADAPTER, 7) + Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, action});
}

std::string Reply(BYTE command, BYTE status)
{
    return Bytes({0x54, 0x42, 0x01, 0x00, command, status, 0, 0, 0, 0, 0, 0});
}

std::string Hex(const std::string& bytes)
{
    std::string text;
    char item[4];
    for (unsigned char c : bytes) {
        snprintf(item, sizeof(item), "%02X ", c);
        text += item;
    }
    return text;
}

DWORD Client::Open(const std::wstring& name)
{
    Close();
    handle_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    return handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

bool Client::Write(const std::string& bytes)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    BOOL ok = WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, 5000) != WAIT_OBJECT_0)
            CancelIo(handle_);
        ok = TRUE;
    }
    ok = ok && GetOverlappedResult(handle_, &overlapped, &written, TRUE);
    CloseHandle(overlapped.hEvent);
    return ok && written == bytes.size();
}

std::string Client::Read(size_t count, DWORD timeoutMs)
{
    std::string bytes;
    DWORD start = GetTickCount();
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (bytes.size() < count) {
        char buffer[64];
        DWORD want = static_cast<DWORD>(count - bytes.size() < sizeof(buffer) ? count - bytes.size() : sizeof(buffer));
        DWORD read = 0;
        ResetEvent(overlapped.hEvent);
        if (!ReadFile(handle_, buffer, want, nullptr, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING)
                break;  // the server's end has gone
            DWORD spent = GetTickCount() - start;
            if (WaitForSingleObject(overlapped.hEvent, spent < timeoutMs ? timeoutMs - spent : 0) != WAIT_OBJECT_0)
                CancelIo(handle_);
        }
        if (!GetOverlappedResult(handle_, &overlapped, &read, TRUE) || read == 0)
            break;
        bytes.append(buffer, read);
    }
    CloseHandle(overlapped.hEvent);
    return bytes;
}

void Client::Close()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

DWORD OpenControlPipe()
{
    Client client;
    return client.Open(CONTROL_PIPE_NAME);
}

bool ControlPipeListening(DWORD timeoutMs)
{
    return WaitUntil([] { return WaitNamedPipeW(CONTROL_PIPE_NAME, 1) != FALSE; }, timeoutMs);
}

PipePair::PipePair()
{
    static LONG counter = 0;
    wchar_t name[128];
    swprintf(name, 128, L"\\\\.\\pipe\\tobra-fault-tests\\%lu-%ld", GetCurrentProcessId(),
             InterlockedIncrement(&counter));
    server_ = CreateNamedPipeW(name, CONTROL_PIPE_OPEN_MODE, CONTROL_PIPE_MODE, 1, CONTROL_PIPE_BUFFER_SIZE,
                               CONTROL_PIPE_BUFFER_SIZE, CONTROL_PIPE_DEFAULT_TIMEOUT_MS, nullptr);
    if (server_ == INVALID_HANDLE_VALUE || client.Open(name) != 0)
        return;
    // The client came first, so the connect reports it at once.
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ConnectNamedPipe(server_, &overlapped) && GetLastError() != ERROR_PIPE_CONNECTED)
        client.Close();
    CloseHandle(overlapped.hEvent);
}

PipePair::~PipePair()
{
    client.Close();
    if (server_ != INVALID_HANDLE_VALUE)
        CloseHandle(server_);
}

DWORD PipePair::ServerAvailable() const
{
    DWORD available = 0;
    PeekNamedPipe(server_, nullptr, 0, nullptr, &available, nullptr);
    return available;
}

DWORD PipePair::ClientAvailable() const
{
    DWORD available = 0;
    PeekNamedPipe(client.Handle(), nullptr, 0, nullptr, &available, nullptr);
    return available;
}

ScopedPipeSeam::ScopedPipeSeam() : saved_(g_pipePlatform)
{
    g_actions.started = 0;
    g_actions.finished = 0;
    g_actions.delayMs = 0;
    g_pipePlatform.RestartAdapter = CountedAction;
    g_pipePlatform.DisableAdapter = CountedAction;
}

ScopedPipeSeam::~ScopedPipeSeam()
{
    g_pipePlatform = saved_;
}

ServiceSeam::ServiceSeam() : saved_(g_servicePlatform)
{
    g_current = this;
    g_servicePlatform.RegisterServiceCtrlHandlerW = FakeRegisterServiceCtrlHandlerW;
    g_servicePlatform.SetServiceStatus = FakeSetServiceStatus;
    g_servicePlatform.CreateEventW = FailingCreateEventW;
    g_servicePlatform.CreateThread = RecordingCreateThread;
    g_servicePlatform.GetMessageW = FailingGetMessageW;
    g_servicePlatform.GetExitCodeThread = FailingGetExitCodeThread;
}

ServiceSeam::~ServiceSeam()
{
    g_servicePlatform = saved_;
    if (windowThread != nullptr)
        CloseHandle(windowThread);
    if (pipeThread != nullptr)
        CloseHandle(pipeThread);
    g_current = nullptr;
}

ServiceSeam* ServiceSeam::Current()
{
    return g_current;
}

BOOL ServiceSeam::SetServiceStatus(LPSERVICE_STATUS status)
{
    int call = 0;
    {
        AcquireSRWLockExclusive(&lock_);
        reports_.push_back({status->dwCurrentState, status->dwWin32ExitCode, status->dwCheckPoint,
                            status->dwWaitHint, pipeThread == nullptr || Signalled(pipeThread)});
        call = static_cast<int>(reports_.size());
        ReleaseSRWLockExclusive(&lock_);
    }
    if (onReport)
        onReport(call);
    if (call == refusedReport) {
        SetLastError(reportError);
        return FALSE;
    }
    return TRUE;
}

std::vector<Report> ServiceSeam::Reports()
{
    AcquireSRWLockShared(&lock_);
    std::vector<Report> reports = reports_;
    ReleaseSRWLockShared(&lock_);
    return reports;
}

bool ServiceSeam::WaitForReport(DWORD state, DWORD timeoutMs)
{
    return WaitUntil(
        [&] {
            for (const Report& report : Reports()) {
                if (report.state == state)
                    return true;
            }
            return false;
        },
        timeoutMs);
}

ServiceRun::ServiceRun()
{
    thread_ = ::CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr);
}

ServiceRun::~ServiceRun()
{
    // A ServiceMain that never returns would take the test executable with it.
    if (!Join())
        TerminateThread(thread_, 1);
    if (thread_ != nullptr)
        CloseHandle(thread_);
}

bool ServiceRun::Join(DWORD timeoutMs)
{
    if (!Ended(timeoutMs))
        return false;
    if (thread_ != nullptr)
        CloseHandle(thread_);
    thread_ = nullptr;
    return true;
}

void ResetServiceHost()
{
    g_currentState = SERVICE_START_PENDING;
    g_running = 0;
    g_statusHandle = nullptr;
    g_serviceStopEvent = nullptr;
    g_windowThread = nullptr;
    g_serviceWindow = nullptr;
    g_pipeStopEvent = nullptr;
    g_pipeThread = nullptr;
    g_instance = GetModuleHandleW(nullptr);
}

}  // namespace faults
