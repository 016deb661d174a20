#include "service_fakes.h"

#include "support/test_support.h"

#include <ostream>

#include "pipe/pipe_server.h"
#include "service/service_window.h"

namespace servicetest {

namespace {

FakeServicePlatform* g_current = nullptr;
const SERVICE_STATUS_HANDLE FAKE_STATUS_HANDLE = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5A5A);

SERVICE_STATUS_HANDLE WINAPI FakeRegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler)
{
    FakeServicePlatform* fake = g_current;
    fake->registeredName = name != nullptr ? name : L"";
    fake->registeredHandler = handler;
    if (fake->registerError != 0) {
        SetLastError(fake->registerError);
        return nullptr;
    }
    return FAKE_STATUS_HANDLE;
}

BOOL WINAPI FakeSetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    return g_current->SetServiceStatus(handle, status);
}

HANDLE WINAPI FakeCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    FakeServicePlatform* fake = g_current;
    if (fake->NextEventCall() == fake->failedEvent) {
        SetLastError(fake->eventError);
        return nullptr;
    }
    return ::CreateEventW(attributes, manualReset, initialState, name);
}

// Stands in for the pipe server: waits on the stop event as the real one does
// between clients, then finishes the work it was given.
DWORD WINAPI StandInPipeThread(LPVOID)
{
    FakeServicePlatform* fake = g_current;
    fake->windowAtPipeStart = g_serviceWindow;
    SetEvent(fake->pipeThreadStarted);
    // A missing stop event fails the wait at once, as in the real server.
    WaitForSingleObject(g_pipeStopEvent, INFINITE);
    if (fake->onPipeStop)
        fake->onPipeStop();
    if (fake->pipeLingerMs != 0)
        Sleep(fake->pipeLingerMs);
    InterlockedExchange(&fake->pipeThreadEnded, 1);
    ExitThread(0);
}

HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                               LPVOID parameter, DWORD flags, LPDWORD id)
{
    FakeServicePlatform* fake = g_current;
    if (routine == PipeServerThread) {
        ++fake->pipeThreadsCreated;
        fake->pipeThreadStackSize = stackSize;
        fake->pipeThreadParameter = parameter;
        SetEvent(fake->pipeThreadRequested);
        if (fake->pipeThreadError != 0) {
            SetLastError(fake->pipeThreadError);
            return nullptr;
        }
        if (!fake->realPipeServer)
            return ::CreateThread(attributes, stackSize, StandInPipeThread, parameter, flags, id);
        HANDLE thread = ::CreateThread(attributes, stackSize, routine, parameter, flags, id);
        if (thread != nullptr) {
            DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &fake->pipeThread, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
            SetEvent(fake->pipeThreadStarted);
        }
        return thread;
    }
    if (routine == ServiceWindowThread && fake->windowThreadError != 0) {
        SetLastError(fake->windowThreadError);
        return nullptr;
    }
    HANDLE thread = ::CreateThread(attributes, stackSize, routine, parameter, flags, id);
    if (thread != nullptr && routine == ServiceWindowThread)
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &fake->windowThread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    return thread;
}

// The real loop; WM_QUIT can be delayed, as a loaded machine delays the thread.
BOOL WINAPI FakeGetMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax)
{
    if (g_current->NextMessageCall() == g_current->failedGetMessage) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    BOOL result = ::GetMessageW(message, window, filterMin, filterMax);
    if (result == 0 && g_current->quitDelayMs != 0)
        Sleep(g_current->quitDelayMs);
    return result;
}

BOOL WINAPI FakeGetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    if (g_current->failExitCodeQuery) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::GetExitCodeThread(thread, exitCode);
}

ATOM WINAPI FakeRegisterClassW(const WNDCLASSW* windowClass)
{
    if (g_current->classError != 0) {
        SetLastError(g_current->classError);
        return 0;
    }
    return ::RegisterClassW(windowClass);
}

HWND WINAPI FakeCreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int width,
                                int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter)
{
    FakeServicePlatform* fake = g_current;
    if (fake->windowError != 0) {
        SetLastError(fake->windowError);
        return nullptr;
    }
    if (fake->beforeCreateWindow)
        fake->beforeCreateWindow();
    HWND window =
        ::CreateWindowExW(exStyle, className, title, style, x, y, width, height, parent, menu, instance, parameter);
    if (fake->afterCreateWindow)
        fake->afterCreateWindow(window);
    return window;
}

}  // namespace

bool operator==(const Report& a, const Report& b)
{
    return a.type == b.type && a.state == b.state && a.accepted == b.accepted && a.exitCode == b.exitCode &&
           a.specificExitCode == b.specificExitCode && a.checkPoint == b.checkPoint && a.waitHint == b.waitHint;
}

std::ostream& operator<<(std::ostream& out, const Report& r)
{
    return out << "{type " << r.type << ", state " << r.state << ", accepted " << r.accepted << ", exit " << r.exitCode
               << ", specific " << r.specificExitCode << ", checkpoint " << r.checkPoint << ", hint " << r.waitHint
               << "}";
}

Report StartPending1()
{
    return {0x10, SERVICE_START_PENDING, 0, 0, 0, 1, 8000};
}
Report StartPending2()
{
    return {0x10, SERVICE_START_PENDING, 0, 0, 0, 2, 10000};
}
Report Running()
{
    return {0x10, SERVICE_RUNNING, 5, 0, 0, 0, 0};
}
Report StopPending(DWORD waitHint)
{
    return {0x10, SERVICE_STOP_PENDING, 5, 0, 0, 1, waitHint};
}
Report Stopped(DWORD exitCode)
{
    return {0x10, SERVICE_STOPPED, 5, exitCode, 0, 0, 0};
}

const WCHAR TEST_GROUP_POLICY_KEY[] = L"Software\\TobraTests\\Policies";
const WCHAR TEST_SETTINGS_KEY[] = L"Software\\TobraTests\\Settings";

FakeServicePlatform::FakeServicePlatform()
{
    g_current = this;
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TobraTests");
    g_servicePlatform.policyRoot = HKEY_CURRENT_USER;
    g_servicePlatform.groupPolicyKey = TEST_GROUP_POLICY_KEY;
    g_servicePlatform.settingsKey = TEST_SETTINGS_KEY;
    pipeThreadRequested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pipeThreadStarted = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_servicePlatform.RegisterServiceCtrlHandlerW = FakeRegisterServiceCtrlHandlerW;
    g_servicePlatform.SetServiceStatus = FakeSetServiceStatus;
    g_servicePlatform.CreateEventW = FakeCreateEventW;
    g_servicePlatform.GetMessageW = FakeGetMessageW;
    g_servicePlatform.GetExitCodeThread = FakeGetExitCodeThread;
    g_servicePlatform.CreateThread = FakeCreateThread;
    g_servicePlatform.RegisterClassW = FakeRegisterClassW;
    g_servicePlatform.CreateWindowExW = FakeCreateWindowExW;
}

FakeServicePlatform::~FakeServicePlatform()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TobraTests");
    if (windowThread != nullptr)
        CloseHandle(windowThread);
    if (pipeThread != nullptr)
        CloseHandle(pipeThread);
    CloseHandle(pipeThreadRequested);
    CloseHandle(pipeThreadStarted);
    g_current = nullptr;
}

FakeServicePlatform* FakeServicePlatform::Current()
{
    return g_current;
}

BOOL FakeServicePlatform::SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    AcquireSRWLockExclusive(&lock_);
    if (handle != FAKE_STATUS_HANDLE)
        foreignStatusHandle = true;
    if (status->dwCurrentState == SERVICE_STOPPED)
        pipeEndedBeforeStopped = PipeThreadGone();
    reports_.push_back({status->dwServiceType, status->dwCurrentState, status->dwControlsAccepted,
                        status->dwWin32ExitCode, status->dwServiceSpecificExitCode, status->dwCheckPoint,
                        status->dwWaitHint});
    int call = static_cast<int>(reports_.size());
    ReleaseSRWLockExclusive(&lock_);
    if (onReport)
        onReport(call);
    WakeAllConditionVariable(&reported_);
    if (call == refusedReport) {
        SetLastError(reportError);
        return FALSE;
    }
    return TRUE;
}

int FakeServicePlatform::NextEventCall()
{
    return InterlockedIncrement(&eventCalls_);
}

int FakeServicePlatform::NextMessageCall()
{
    return InterlockedIncrement(&messageCalls_);
}

bool FakeServicePlatform::PipeThreadGone()
{
    if (realPipeServer)
        return pipeThread == nullptr || test::Signalled(pipeThread, 0);
    return pipeThreadEnded != 0 || WaitForSingleObject(pipeThreadStarted, 0) != WAIT_OBJECT_0;
}

std::vector<Report> FakeServicePlatform::Reports()
{
    AcquireSRWLockShared(&lock_);
    std::vector<Report> reports = reports_;
    ReleaseSRWLockShared(&lock_);
    return reports;
}

bool FakeServicePlatform::WaitForReport(DWORD state, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    bool seen = false;
    AcquireSRWLockExclusive(&lock_);
    for (;;) {
        for (const Report& report : reports_)
            seen = seen || report.state == state;
        DWORD spent = GetTickCount() - start;
        if (seen || spent >= timeoutMs)
            break;
        SleepConditionVariableSRW(&reported_, &lock_, timeoutMs - spent, 0);
    }
    ReleaseSRWLockExclusive(&lock_);
    return seen;
}

SERVICE_STATUS_HANDLE FakeStatusHandle()
{
    return FAKE_STATUS_HANDLE;
}

}  // namespace servicetest
