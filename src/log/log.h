// Diagnostic log: off unless the -d switch asks for it; then every message
// goes to C:\norva\Tobra Service\Service.txt (UTF-16LE, one stamped line per
// message), to the debugger output, or to both.
//
// The service writes the file as SYSTEM in a folder at the root of the system
// drive, where any user may create folders. So the folders the log creates
// are locked down, and a line is written only when no level of the path and
// not the file itself is a link, the levels belong to SYSTEM, Administrators
// or the service's own account, and the file has no second name; otherwise
// the line is lost as if the file could not be opened. The file is opened
// relative to the folder that was checked, never by its path again.
#pragma once

#include <windows.h>

// Log mode bits. 0x0002 is deliberately unused.
constexpr WORD LOG_TO_FILE = 0x0001;
constexpr WORD LOG_TO_DEBUGGER = 0x0004;

// The most Service.txt may hold. Every request of any user adds lines, so a
// line that would take the file past it goes to a new one, and the full file
// becomes Service.old.txt: the log never takes more than twice this.
constexpr ULONGLONG LOG_FILE_MAX_BYTES = 8ull * 1024 * 1024;

// Fixed buffers, in characters with the terminator. A longer message or line
// is cut, never overrun.
constexpr int LOG_MESSAGE_CHARS = 1024;
constexpr int LOG_LINE_CHARS = 1024;

// Written once by LogInit before any other thread exists; read-only after.
extern WORD g_logMode;
extern WCHAR g_logDirectory[MAX_PATH];
extern WCHAR g_logFileName[MAX_PATH];

void LogInit(WORD mode);
// Whether LogPrintf writes anything: for details that cost something to gather.
int LogIsOn();
int LogPrintf(const WCHAR* format, ...);
int LogWriteLine(const WCHAR* fileName, const WCHAR* message);

// The platform calls that tests must steer: another Windows drive, a fixed
// clock, a capture of the debugger output, the security given to the folders
// the log creates (the test platform does not keep it), and what a handle says
// about links and owners where the test platform cannot make them.
struct LogPlatform {
    decltype(&::GetWindowsDirectoryW) GetWindowsDirectoryW;
    decltype(&::GetLocalTime) GetLocalTime;
    decltype(&::OutputDebugStringW) OutputDebugStringW;
    decltype(&::CreateDirectoryW) CreateDirectoryW;
    decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
    decltype(&::GetKernelObjectSecurity) GetKernelObjectSecurity;
    ULONGLONG maxFileBytes;  // LOG_FILE_MAX_BYTES; tests make it small
};
extern LogPlatform g_logPlatform;
