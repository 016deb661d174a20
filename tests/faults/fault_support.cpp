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

int CountedAction(const BYTE*, AdapterOutcome*)
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

std::string ReadReply(Client& client, DWORD timeoutMs)
{
    DWORD error = 0;
    return client.ReadAll(12, timeoutMs, &error);
}

bool Signalled(HANDLE handle, DWORD timeoutMs)
{
    return handle != nullptr && WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0;
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
