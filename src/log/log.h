// Diagnostic log: off unless the -d switch asks for it; then every message
// goes to C:\norva\Tobra Service\Service.txt (UTF-16LE, one stamped line per
// message), to the debugger output, or to both.
#pragma once

#include <windows.h>

// Log mode bits. 0x0002 is deliberately unused.
constexpr WORD LOG_TO_FILE = 0x0001;
constexpr WORD LOG_TO_DEBUGGER = 0x0004;

// Fixed buffers, in characters with the terminator. A longer message or line
// is cut, never overrun.
constexpr int LOG_MESSAGE_CHARS = 1024;
constexpr int LOG_LINE_CHARS = 1024;

// Written once by LogInit before any other thread exists; read-only after.
extern WORD g_logMode;
extern WCHAR g_logDirectory[MAX_PATH];
extern WCHAR g_logFileName[MAX_PATH];

void LogInit(WORD mode);
int LogPrintf(const WCHAR* format, ...);
int LogWriteLine(const WCHAR* fileName, const WCHAR* message);
int CreateDirectoryTree(const WCHAR* path);

// The platform calls that tests must steer: another Windows drive, a fixed
// clock, and a capture of the debugger output.
struct LogPlatform {
    UINT(WINAPI* GetWindowsDirectoryW)(LPWSTR buffer, UINT size);
    void(WINAPI* GetLocalTime)(LPSYSTEMTIME time);
    void(WINAPI* OutputDebugStringW)(LPCWSTR text);
};
extern LogPlatform g_logPlatform;
