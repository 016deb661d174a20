// The hidden service window and its thread.
#include "service/service_window.h"

HWND g_serviceWindow = nullptr;
HANDLE g_pipeStopEvent = nullptr;
HANDLE g_pipeThread = nullptr;
