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

// Given when a thread ends for a reason that has no error code of its own
// (the service window closed by something other than a stop).
constexpr DWORD SERVICE_WINDOW_CLOSED_ERROR = ERROR_INVALID_WINDOW_HANDLE;
// Given for a failure whose call left no error code, so that the stopped
// report never says that all went well.
constexpr DWORD SERVICE_UNKNOWN_FAILURE_ERROR = ERROR_INTERNAL_ERROR;

// The state of the last report that SetServiceStatus accepted.
extern DWORD g_currentState;
// Set before the window thread exists, cleared (exchanged, so that only one
// routine wins) by the routine that claims the stop: StopService, or
// TerminateService after a refused running report. While the window thread
// lives, clear means that a stop has claimed the service.
extern volatile LONG g_running;
extern SERVICE_STATUS_HANDLE g_statusHandle;
extern HANDLE g_serviceStopEvent;
extern HANDLE g_windowThread;

// Created and closed by ServiceMain beside the stop event; set by
// ReportServiceFailure once a failure is stored, which wakes ServiceMain to
// stop the service.
extern HANDLE g_serviceFailureEvent;
// The first failure after which the service cannot serve: its Win32 error
// (0: none) and what failed, as logged. Written once (the first writer wins),
// read by ServiceMain after the failure event.
extern volatile LONG g_serviceFailure;
extern const WCHAR* volatile g_serviceFailureReason;

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
void WINAPI ServiceCtrlHandler(DWORD control);

// One report: SERVICE_WIN32_OWN_PROCESS, the controls that follow from the
// state, the given exit code, checkpoint and wait hint. 1 when accepted (and
// g_currentState then takes the state), 0 when refused.
int ReportServiceStatus(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint);

// Stops the window thread and the pipe server, then wakes ServiceMain.
void StopService();

// Ends ServiceMain: closes the stop event, closes the window after a refused
// running report, closes the failure event, and reports stopped with the exit
// code.
void TerminateService(DWORD exitCode);

// Called by the window or pipe thread when it ends for a reason other than a
// stop (neither can stop the service itself: the stop waits for both). Logs
// "<reason> (error <error>)"; the first failure is stored and wakes
// ServiceMain, which stops the service with that error as its exit code. The
// reason is a constant text.
void ReportServiceFailure(const WCHAR* reason, DWORD error);
