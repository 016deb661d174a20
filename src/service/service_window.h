// The hidden service window, whose thread starts and stops the pipe server.
#pragma once

#include <windows.h>

// Owned by the window thread: it creates and closes the pipe stop event and the
// pipe thread's handle. The pipe thread only waits on the event.
extern HWND g_serviceWindow;
extern HANDLE g_pipeStopEvent;
extern HANDLE g_pipeThread;
