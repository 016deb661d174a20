// Process entry: the instance handle, the service name and the -d switch.
#pragma once

#include <windows.h>

// The one name of this service: dispatcher table, handler registration, log lines.
extern const WCHAR SERVICE_NAME[];

// Written by WinMain before any other thread exists; read by the window thread.
extern HINSTANCE g_instance;

// The log mode that the process command line asks for (0: log off).
WORD ParseDebugSwitch();
