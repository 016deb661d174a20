// Diagnostic log: settings, LogPrintf and the line writer.
#include "log/log.h"

#include <shlwapi.h>
#include <stdarg.h>

LogPlatform g_logPlatform = {
    ::GetWindowsDirectoryW,
    ::GetLocalTime,
    ::OutputDebugStringW,
};

WORD g_logMode = 0;
WCHAR g_logDirectory[MAX_PATH] = L"";
WCHAR g_logFileName[MAX_PATH] = L"";

namespace {

const WCHAR LOG_FOLDER[] = L"norva\\Tobra Service";
const WCHAR LOG_FILE[] = L"Service.txt";
const int WINDOWS_DIRECTORY_CHARS = MAX_PATH + 1;

// Appends are serialised: without it two threads can seek to the same end and
// overwrite each other's line, or both take a new file for theirs and write
// two byte-order marks.
SRWLOCK g_logLock = SRWLOCK_INIT;

bool IsHighSurrogate(WCHAR c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

// wvnsprintfW (Microsoft conventions: %s is a wide string) bounded to the
// buffer. What it does on overflow differs between versions, so the buffer
// starts zeroed and is terminated here whatever it returns.
void FormatBounded(WCHAR* buffer, int chars, const WCHAR* format, va_list args)
{
    ZeroMemory(buffer, chars * sizeof(WCHAR));
    wvnsprintfW(buffer, chars, format, args);
    buffer[chars - 1] = L'\0';
    // A cut may have split a surrogate pair at the end.
    int length = lstrlenW(buffer);
    if (length == chars - 1 && IsHighSurrogate(buffer[length - 1]))
        buffer[length - 1] = L'\0';
}

// "YYYY/MM/DD hh:mm:ss  message\r\n". A long message is cut so that the line
// still ends with its own carriage return and line feed.
void FormatLine(WCHAR* line, const SYSTEMTIME& time, const WCHAR* message)
{
    ZeroMemory(line, LOG_LINE_CHARS * sizeof(WCHAR));
    wnsprintfW(line, LOG_LINE_CHARS, L"%02d/%02d/%02d %02d:%02d:%02d  ",
               time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond);
    line[LOG_LINE_CHARS - 1] = L'\0';
    int stampLength = lstrlenW(line);
    int room = LOG_LINE_CHARS - 1 - stampLength - 2;
    if (room < 0)
        room = 0;
    int copy = lstrlenW(message);
    if (copy > room) {
        copy = room;
        if (copy > 0 && IsHighSurrogate(message[copy - 1]))
            --copy;  // never half a surrogate pair
    }
    CopyMemory(line + stampLength, message, copy * sizeof(WCHAR));
    lstrcpyW(line + stampLength + copy, L"\r\n");
}

int AppendLine(const WCHAR* fileName, const WCHAR* message)
{
    if (!PathFileExistsW(g_logDirectory))
        CreateDirectoryTree(g_logDirectory);  // a level that fails shows as a failed open below

    WCHAR path[MAX_PATH];
    lstrcpynW(path, g_logDirectory, MAX_PATH);
    if (!PathAppendW(path, fileName))
        return 0;  // a path that does not fit cannot be opened either

    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;  // the line is lost

    // Write results are deliberately ignored: a lost line must not stop the service.
    DWORD written = 0;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
        static const BYTE BYTE_ORDER_MARK[2] = {0xFF, 0xFE};
        WriteFile(file, BYTE_ORDER_MARK, sizeof(BYTE_ORDER_MARK), &written, nullptr);
    }
    SetFilePointer(file, 0, nullptr, FILE_END);

    SYSTEMTIME now;
    g_logPlatform.GetLocalTime(&now);
    WCHAR line[LOG_LINE_CHARS];
    FormatLine(line, now, message);
    WriteFile(file, line, static_cast<DWORD>(lstrlenW(line)) * sizeof(WCHAR), &written, nullptr);

    CloseHandle(file);
    return 1;
}

}  // namespace

void LogInit(WORD mode)
{
    WCHAR work[WINDOWS_DIRECTORY_CHARS] = {};
    WCHAR directory[MAX_PATH] = L"";

    UINT n = g_logPlatform.GetWindowsDirectoryW(work, WINDOWS_DIRECTORY_CHARS);
    if (n > 0 && n < WINDOWS_DIRECTORY_CHARS) {
        // Keep the drive's root: C:\Windows becomes C:\.
        for (UINT i = 0; i < n; ++i) {
            if (work[i] == L'\\') {
                work[i + 1] = L'\0';
                break;
            }
        }
        // Without the folder appended the path would be wrong; leave the log off.
        if (PathAppendW(work, LOG_FOLDER))
            lstrcpynW(directory, work, MAX_PATH);
    }

    lstrcpyW(g_logFileName, LOG_FILE);
    lstrcpyW(g_logDirectory, directory);
    g_logMode = mode;
}

int LogPrintf(const WCHAR* format, ...)
{
    if (g_logMode == 0 || g_logDirectory[0] == L'\0' || g_logFileName[0] == L'\0')
        return 0;

    WCHAR message[LOG_MESSAGE_CHARS];
    va_list args;
    va_start(args, format);
    FormatBounded(message, LOG_MESSAGE_CHARS, format, args);
    va_end(args);

    // The file first, then the debugger output.
    if (g_logMode & LOG_TO_FILE)
        LogWriteLine(g_logFileName, message);
    if (g_logMode & LOG_TO_DEBUGGER) {
        g_logPlatform.OutputDebugStringW(message);
        g_logPlatform.OutputDebugStringW(L"\n");
    }
    return 1;
}

int LogWriteLine(const WCHAR* fileName, const WCHAR* message)
{
    AcquireSRWLockExclusive(&g_logLock);
    int result = AppendLine(fileName, message);
    ReleaseSRWLockExclusive(&g_logLock);
    return result;
}

int CreateDirectoryTree(const WCHAR* path)
{
    WCHAR work[MAX_PATH];
    WCHAR build[MAX_PATH] = L"";
    lstrcpynW(work, path, MAX_PATH);

    int components = 0;
    WCHAR* cursor = work;
    for (;;) {
        while (*cursor == L'\\')
            ++cursor;
        if (*cursor == L'\0')
            break;
        WCHAR* component = cursor;
        while (*cursor != L'\0' && *cursor != L'\\')
            ++cursor;
        if (*cursor != L'\0')
            *cursor++ = L'\0';

        ++components;
        if (components == 1) {
            lstrcpynW(build, component, MAX_PATH);  // the drive: nothing to create
            continue;
        }
        if (!PathAppendW(build, component))
            break;
        if (!CreateDirectoryW(build, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return components == 0 ? 0 : 1;
}
