// The control pipe's server thread.
#pragma once

#include <windows.h>

// Thread routine: serves one client at a time on "\\.\pipe\norva\Tobra Service"
// until g_pipeStopEvent is set. The parameter (the service window) is unused.
DWORD WINAPI PipeServerThread(LPVOID parameter);
