// The hidden service window, whose thread starts and stops the pipe server.
#pragma once

#include <windows.h>

// Posted by the window to itself on creation; starts the pipe server once the
// message loop runs. No parameters.
constexpr UINT WM_INITIATE_SERVICE = WM_APP + 100;

// The pipe thread's stack: its request buffers come from the page allocator,
// so a small stack suffices.
constexpr SIZE_T PIPE_THREAD_STACK_SIZE = 16384;

// Class name and title of the hidden window.
extern const WCHAR SERVICE_WINDOW_CLASS[];

// Set by the window thread once CreateWindowExW has returned (null when it
// failed); never cleared. Read by the stop routines on other threads.
extern HWND volatile g_serviceWindow;

// Owned by the window thread: it creates and closes the pipe stop event and the
// pipe thread's handle. The pipe thread only waits on the event.
extern HANDLE g_pipeStopEvent;
extern HANDLE g_pipeThread;

// Thread routine: registers the class, creates the hidden window and runs its
// message loop until WM_CLOSE has destroyed it. Any end but the one a stop
// asked for (a class, window or message loop that fails, a window closed while
// the service runs) goes to ReportServiceFailure. Ends with ExitThread(0).
DWORD WINAPI ServiceWindowThread(LPVOID parameter);

LRESULT CALLBACK ServiceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Sets the pipe stop event, waits until the pipe thread has ended and closes
// both handles. Always 1.
int StopPipeThread();
