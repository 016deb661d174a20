// Service life cycle as the service control manager sees it: the service main
// routine, the control handler and every status report.
#pragma once

#include <windows.h>

// Wait hints of the status reports, in milliseconds.
constexpr DWORD START_PENDING_WAIT_HINT_1 = 8000;   // until the stop event exists
constexpr DWORD START_PENDING_WAIT_HINT_2 = 10000;  // until the window thread exists
constexpr DWORD STOP_WAIT_HINT = 5000;
constexpr DWORD SHUTDOWN_WAIT_HINT = 10000;

// The controls accepted in every state but start-pending.
constexpr DWORD SERVICE_CONTROLS_ACCEPTED = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// How long a stop waits for a window thread that exists but has not yet
// published its window (a stop right after the running report).
constexpr DWORD SERVICE_WINDOW_WAIT_MS = 5000;
// How long a stop waits for the window thread to end once its window is gone,
// so that its End line is written before the stopped report lets the process end.
constexpr DWORD SERVICE_WINDOW_THREAD_END_WAIT_MS = 5000;

// The state of the last report that SetServiceStatus accepted.
extern DWORD g_currentState;
// Set before the running report, cleared by the one routine that closes the
// window; a stop or terminate that finds it clear does nothing.
extern volatile LONG g_running;
extern SERVICE_STATUS_HANDLE g_statusHandle;
extern HANDLE g_serviceStopEvent;
extern HANDLE g_windowThread;

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
void WINAPI ServiceCtrlHandler(DWORD control);

// One report: SERVICE_WIN32_OWN_PROCESS, the controls that follow from the
// state, the given exit code, checkpoint and wait hint. 1 when accepted (and
// g_currentState then takes the state), 0 when refused.
int ReportServiceStatus(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint);

// Stops the window thread and the pipe server, then wakes ServiceMain.
void StopService();

// Ends ServiceMain: closes the stop event, closes the window after a refused
// running report, and reports stopped with the exit code.
void TerminateService(DWORD exitCode);
