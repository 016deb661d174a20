// The service main routine, its control handler and the status reports. Four
// threads meet here without a lock: the dispatcher's (control handler, stop),
// the service main thread (start, terminate), the window thread and the pipe
// thread. Order comes from the stop and failure events, the synchronous
// WM_CLOSE and the one exchange that claims the stop.
#include "service/service_main.h"

#include "event/event_log.h"
#include "log/log.h"
#include "service/service_entry.h"
#include "service/service_platform.h"
#include "service/service_policy.h"
#include "service/service_window.h"

DWORD g_currentState = SERVICE_START_PENDING;
volatile LONG g_running = 0;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_serviceStopEvent = nullptr;
HANDLE g_windowThread = nullptr;
HANDLE g_serviceFailureEvent = nullptr;
volatile LONG g_serviceFailure = 0;
const WCHAR* volatile g_serviceFailureReason = nullptr;

namespace {

// A stop that comes right after the running report can find the window thread
// still creating its window. Skipping the window then would leave a pipe
// server to start after the stop, so wait until the window is published or the
// thread has ended without one (class or window creation failed).
HWND WaitForServiceWindow()
{
    HWND window = g_serviceWindow;
    DWORD start = GetTickCount();
    while (window == nullptr && g_windowThread != nullptr && GetTickCount() - start < SERVICE_WINDOW_WAIT_MS) {
        if (WaitForSingleObject(g_windowThread, 1) != WAIT_TIMEOUT) {
            window = g_serviceWindow;  // it may have stored a window just before it ended
            break;
        }
        window = g_serviceWindow;
    }
    return window;
}

// The window thread writes its End line after its window is gone; the process
// ends soon after the stopped report, so the line would be lost if nobody waited.
// Bounded: a thread that does not end still has its handle closed.
void CloseWindowThread()
{
    if (g_windowThread != nullptr) {
        WaitForSingleObject(g_windowThread, SERVICE_WINDOW_THREAD_END_WAIT_MS);
        CloseHandle(g_windowThread);
    }
    g_windowThread = nullptr;
}

}  // namespace

int ReportServiceStatus(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    // Stop and shutdown are accepted in the stop-pending and stopped reports too.
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_CONTROLS_ACCEPTED;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    if (!g_servicePlatform.SetServiceStatus(g_statusHandle, &status))
        return 0;  // GetLastError still holds the refusal for the caller
    g_currentState = state;
    return 1;
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    // First, so that even a start that fails can say why.
    EventLogOpen();
    g_statusHandle = g_servicePlatform.RegisterServiceCtrlHandlerW(SERVICE_NAME, ServiceCtrlHandler);
    if (g_statusHandle == nullptr)
        goto failed;
    if (!ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 1, START_PENDING_WAIT_HINT_1))
        goto failed;
    // Read once, before any thread that consults it exists. A setting that is
    // not valid stops the start: the service never runs with wider access
    // than an administrator configured.
    if (!ReadServicePolicy()) {
        SetLastError(ERROR_INVALID_DATA);
        goto failed;
    }
    g_serviceStopEvent = g_servicePlatform.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_serviceStopEvent == nullptr)
        goto failed;
    // Before any thread that could fail exists.
    g_serviceFailureEvent = g_servicePlatform.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_serviceFailureEvent == nullptr)
        goto failed;
    if (!ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 2, START_PENDING_WAIT_HINT_2))
        goto failed;
    // Before the window thread exists, so that a clear flag means to it that a
    // stop has claimed the service, never that the start has not got that far;
    // and before the running report, from which on stop and shutdown are
    // accepted, so that every stop finds the flag set.
    g_running = 1;
    g_windowThread = g_servicePlatform.CreateThread(nullptr, 0, ServiceWindowThread, nullptr, 0, nullptr);
    if (g_windowThread == nullptr) {
        g_running = 0;  // there is no window to take down; the last error stays
        goto failed;
    }
    if (!ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0, 0))
        goto failed;

    {
        HANDLE events[2] = {g_serviceStopEvent, g_serviceFailureEvent};
        DWORD exitCode = NO_ERROR;
        // A stop that has ended comes first when both are set.
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            // A thread that cannot serve: stop as the control handler does. A
            // stop control at the same moment claims the stop first, and its
            // stop event then says when it is done.
            exitCode = static_cast<DWORD>(g_serviceFailure);
            ReportCannotServeEvent(g_serviceFailureReason, exitCode);
            ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 1, STOP_WAIT_HINT);
            StopService();
            WaitForSingleObject(g_serviceStopEvent, INFINITE);
        }
        TerminateService(exitCode);
    }
    return;

failed:
    // The failing call's error, read before anything else can change it.
    TerminateService(GetLastError());
}

void WINAPI ServiceCtrlHandler(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        // The stop goes on even when the report is refused.
        ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 1, STOP_WAIT_HINT);
        StopService();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 1, SHUTDOWN_WAIT_HINT);
        StopService();
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        break;  // never accepted; nothing changes
    default:
        // Interrogate, and every code not handled above (user-defined ones too).
        ReportServiceStatus(g_currentState, NO_ERROR, 0, 0);
        break;
    }
}

void StopService()
{
    // A stop before the running flag is set, or a second stop, does nothing;
    // of a stop control and a failure at the same moment only one runs it.
    if (InterlockedExchange(&g_running, 0) == 0)
        return;
    LogPrintf(L"*** Stop Service: Start ***");

    // Synchronous: returns once the pipe thread has ended and the window is gone.
    HWND window = WaitForServiceWindow();
    if (window != nullptr)
        SendMessageW(window, WM_CLOSE, 0, 0);
    // Closed with or without a window: nobody else would close it.
    CloseWindowThread();

    SetEvent(g_serviceStopEvent);
    LogPrintf(L"*** Stop Service: End ***");
}

void TerminateService(DWORD exitCode)
{
    if (g_serviceStopEvent != nullptr)
        CloseHandle(g_serviceStopEvent);
    g_serviceStopEvent = nullptr;

    // Still marked running only after a refused running report: the window
    // thread exists and must be taken down here. Claimed like a stop, so that
    // the window thread takes the close for a stop's and a stop control that
    // comes meanwhile does nothing.
    if (InterlockedExchange(&g_running, 0) != 0) {
        LogPrintf(L"*** Terminate Service: Start ***");
        HWND window = WaitForServiceWindow();
        if (window != nullptr)
            SendMessageW(window, WM_CLOSE, 0, 0);
        CloseWindowThread();
        LogPrintf(L"*** Terminate Service: End ***");
    }

    // Last: the window thread may still report a failure until it has ended.
    if (g_serviceFailureEvent != nullptr)
        CloseHandle(g_serviceFailureEvent);
    g_serviceFailureEvent = nullptr;

    // Before the stopped report, after which the process may end at once.
    EventLogClose();

    // Without a status handle there is nobody to report to.
    if (g_statusHandle != nullptr)
        ReportServiceStatus(SERVICE_STOPPED, exitCode, 0, 0);
}

void ReportServiceFailure(const WCHAR* reason, DWORD error)
{
    if (error == NO_ERROR)
        error = SERVICE_UNKNOWN_FAILURE_ERROR;
    LogPrintf(L"%s (error %lu)", reason, error);
    // The first failure is the cause; later ones often follow from it.
    if (InterlockedCompareExchange(&g_serviceFailure, static_cast<LONG>(error), 0) != 0)
        return;
    g_serviceFailureReason = reason;
    // Null outside a service run (the pipe server on its own in tests).
    if (g_serviceFailureEvent != nullptr)
        SetEvent(g_serviceFailureEvent);
}
