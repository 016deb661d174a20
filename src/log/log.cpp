// Diagnostic log: settings, LogPrintf and the line writer.
#include "log/log.h"

#include <sddl.h>
#include <shlwapi.h>
#include <stdarg.h>
#include <winternl.h>

LogPlatform g_logPlatform = {
    ::GetWindowsDirectoryW,
    ::GetLocalTime,
    ::OutputDebugStringW,
    ::CreateDirectoryW,
    ::GetFileInformationByHandleEx,
    ::GetKernelObjectSecurity,
    LOG_FILE_MAX_BYTES,
};

WORD g_logMode = 0;
WCHAR g_logDirectory[MAX_PATH] = L"";
WCHAR g_logFileName[MAX_PATH] = L"";

namespace {

const WCHAR LOG_FOLDER[] = L"norva\\Tobra Service";
const WCHAR LOG_FILE[] = L"Service.txt";
// Where a full log file goes, beside it; an older one is replaced.
const WCHAR LOG_OLD_FILE[] = L"Service.old.txt";
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
    wnsprintfW(line, LOG_LINE_CHARS, L"%02d/%02d/%02d %02d:%02d:%02d  ", time.wYear, time.wMonth, time.wDay, time.wHour,
               time.wMinute, time.wSecond);
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

// SYSTEM and Administrators full control, Users read and traverse, inherited
// by every file and subfolder. Protected (P): nothing flows in from the drive
// root, whose grants would let any signed-in user modify the folder.
const WCHAR LOG_FOLDER_SECURITY[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

// Deeper than any log directory this service uses; a deeper one is refused
// rather than checked in part.
const int LOG_MAX_LEVELS = 32;

// The levels of the log directory below the drive, held open while a line is
// written: a level held without delete sharing cannot be renamed or removed,
// so nobody can put a link in its place between the check and the write.
struct LogLevels {
    HANDLE handles[LOG_MAX_LEVELS];
    int count;
    WCHAR path[MAX_PATH];  // the directory as opened, one backslash per level
};

bool HasPathComponent(const WCHAR* path)
{
    for (; *path != L'\0'; ++path) {
        if (*path != L'\\')
            return true;
    }
    return false;
}

HANDLE OpenLevel(const WCHAR* path)
{
    // Traverse is a data access, so that the delete sharing we refuse binds
    // other openers; FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, not
    // its target, so that the check below sees it.
    return CreateFileW(path, FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Creates one level with the protected access list. The descriptor is built
// at the first level that a walk must create and freed by the walk.
bool CreateLevel(const WCHAR* path, PSECURITY_DESCRIPTOR* security)
{
    if (*security == nullptr && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                    LOG_FOLDER_SECURITY, SDDL_REVISION_1, security, nullptr)) {
        *security = nullptr;
        return false;  // never a level without its protection
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), *security, FALSE};
    // A level that someone made meanwhile is then checked like any other.
    return g_logPlatform.CreateDirectoryW(path, &attributes) || GetLastError() == ERROR_ALREADY_EXISTS;
}

HANDLE OpenOrCreateLevel(const WCHAR* path, PSECURITY_DESCRIPTOR* security)
{
    HANDLE level = OpenLevel(path);
    if (level != INVALID_HANDLE_VALUE)
        return level;
    DWORD error = GetLastError();
    // Anything but absence (access denied, a sharing conflict) is not ours to mend.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
        return INVALID_HANDLE_VALUE;
    if (!CreateLevel(path, security))
        return INVALID_HANDLE_VALUE;
    return OpenLevel(path);
}

// Read through GetFileInformationByHandleEx: under Wine the older
// GetFileInformationByHandle also asks for the volume and costs up to a
// millisecond a call, more than the rest of a line.
bool ReadAttributes(HANDLE handle, DWORD* attributes)
{
    FILE_BASIC_INFO information;
    if (!g_logPlatform.GetFileInformationByHandleEx(handle, FileBasicInfo, &information, sizeof(information)))
        return false;
    *attributes = information.FileAttributes;
    return true;
}

// A junction or symbolic link is a reparse point: following one would let
// whoever made it choose where SYSTEM creates and writes.
bool IsPlainDirectory(HANDLE level)
{
    DWORD attributes = 0;
    if (!ReadAttributes(level, &attributes))
        return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A second name (a hard link) would make the line land in a file that lives
// elsewhere too, perhaps one that the link's maker could not write. True for a
// plain file with one name; *size is then its length in bytes.
bool IsSingleLinkFile(HANDLE file, LONGLONG* size)
{
    DWORD attributes = 0;
    if (!ReadAttributes(file, &attributes) || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    FILE_STANDARD_INFO information;
    if (!g_logPlatform.GetFileInformationByHandleEx(file, FileStandardInfo, &information, sizeof(information)))
        return false;
    *size = information.EndOfFile.QuadPart;
    return information.NumberOfLinks == 1;
}

// The path that a handle really has, without the \\?\ prefix; false when it
// cannot be had or does not fit.
bool ReadFinalPath(HANDLE handle, WCHAR* path, DWORD chars)
{
    WCHAR actual[MAX_PATH + 8];
    const DWORD ACTUAL_CHARS = sizeof(actual) / sizeof(actual[0]);
    DWORD length = GetFinalPathNameByHandleW(handle, actual, ACTUAL_CHARS, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= ACTUAL_CHARS)
        return false;
    const WCHAR* start = actual;
    if (length >= 4 && CompareStringOrdinal(start, 4, L"\\\\?\\", 4, FALSE) == CSTR_EQUAL)
        start += 4;
    if (static_cast<DWORD>(lstrlenW(start)) >= chars)
        return false;
    lstrcpyW(path, start);
    return true;
}

// The path that the handle really has must be the one that was opened: this
// catches a level that became a link after it was checked, and links that a
// platform follows without reporting a reparse point.
bool IsAtPath(HANDLE handle, const WCHAR* expected)
{
    WCHAR actual[MAX_PATH + 8];
    if (!ReadFinalPath(handle, actual, sizeof(actual) / sizeof(actual[0])))
        return false;
    return CompareStringOrdinal(actual, -1, expected, -1, TRUE) == CSTR_EQUAL;
}

bool IsSameObject(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// The file must be the entry of that name in the held folder, wherever the
// folder itself is by now. Wine cannot give the path of a file opened relative
// to a folder that was moved after it was opened (it resolves the name the
// folder was opened by); as the open was relative to the held folder, that is
// accepted only when the folder's old name really leads elsewhere now.
bool IsInFolder(HANDLE file, HANDLE folder, const WCHAR* folderPath, const WCHAR* fileName)
{
    WCHAR actual[MAX_PATH + 8];
    if (!ReadFinalPath(file, actual, sizeof(actual) / sizeof(actual[0]))) {
        HANDLE now = OpenLevel(folderPath);
        bool moved = now == INVALID_HANDLE_VALUE || !IsSameObject(now, folder);
        if (now != INVALID_HANDLE_VALUE)
            CloseHandle(now);
        return moved;
    }
    WCHAR expected[MAX_PATH + 8];
    if (!ReadFinalPath(folder, expected, MAX_PATH) || !PathAppendW(expected, fileName))
        return false;
    return CompareStringOrdinal(actual, -1, expected, -1, TRUE) == CSTR_EQUAL;
}

// The service's own account, read once: it does not change while the process
// runs, and under Wine each read costs more than the rest of a line.
INIT_ONCE g_processUserOnce = INIT_ONCE_STATIC_INIT;
alignas(TOKEN_USER) BYTE g_processUser[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];

BOOL CALLBACK ReadProcessUser(PINIT_ONCE, PVOID, PVOID*)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    DWORD size = 0;
    BOOL queried = GetTokenInformation(token, TokenUser, g_processUser, sizeof(g_processUser), &size);
    CloseHandle(token);
    return queried;  // FALSE leaves the once open: the next check reads again
}

bool IsProcessUser(PSID owner)
{
    if (!InitOnceExecuteOnce(&g_processUserOnce, ReadProcessUser, nullptr, nullptr))
        return false;
    return EqualSid(owner, reinterpret_cast<TOKEN_USER*>(g_processUser)->User.Sid) != FALSE;
}

// A level that an ordinary user owns stays under that user's control whatever
// its access list says (an owner may always rewrite it), so the log does not
// write beneath it. SYSTEM, Administrators and the service's own account are
// trusted; the levels the log creates belong to one of them.
bool HasTrustedOwner(HANDLE level)
{
    // A descriptor with the owner alone: its header and one SID.
    alignas(SECURITY_DESCRIPTOR) BYTE descriptor[sizeof(SECURITY_DESCRIPTOR) + SECURITY_MAX_SID_SIZE];
    DWORD needed = 0;
    if (!g_logPlatform.GetKernelObjectSecurity(level, OWNER_SECURITY_INFORMATION, descriptor, sizeof(descriptor),
                                               &needed))
        return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr)
        return false;
    return IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
           IsProcessUser(owner);
}

void CloseLogLevels(LogLevels* levels)
{
    while (levels->count > 0)
        CloseHandle(levels->handles[--levels->count]);
}

// Walks the directory from the drive down, creating each missing level, and
// holds every level open. True when all are held and each is a plain
// directory at its own path with a trusted owner; the walk stops at the first
// that is not, so nothing is ever created beneath a link.
bool OpenLogLevels(const WCHAR* directory, LogLevels* levels)
{
    levels->count = 0;
    levels->path[0] = L'\0';
    WCHAR work[MAX_PATH];
    lstrcpynW(work, directory, MAX_PATH);

    PSECURITY_DESCRIPTOR security = nullptr;
    bool trusted = HasPathComponent(work);
    bool drive = true;
    WCHAR* cursor = work;
    while (trusted) {
        while (*cursor == L'\\')
            ++cursor;
        if (*cursor == L'\0')
            break;
        WCHAR* component = cursor;
        while (*cursor != L'\0' && *cursor != L'\\')
            ++cursor;
        if (*cursor != L'\0')
            *cursor++ = L'\0';

        if (drive) {
            lstrcpynW(levels->path, component, MAX_PATH);  // the drive: nothing to create or check
            drive = false;
            continue;
        }
        if (levels->count == LOG_MAX_LEVELS || !PathAppendW(levels->path, component)) {
            trusted = false;
            break;
        }
        HANDLE level = OpenOrCreateLevel(levels->path, &security);
        if (level == INVALID_HANDLE_VALUE) {
            trusted = false;
            break;
        }
        levels->handles[levels->count++] = level;
        trusted = IsPlainDirectory(level) && IsAtPath(level, levels->path) && HasTrustedOwner(level);
    }
    if (security != nullptr)
        LocalFree(security);
    return trusted;
}

// NtSetInformationFile and the rename record, which not every SDK declares;
// the routine comes from ntdll at run time.
struct LogRenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[MAX_PATH];
};
typedef NTSTATUS(NTAPI* SetInformationFileRoutine)(HANDLE file, PIO_STATUS_BLOCK status, PVOID information,
                                                   ULONG length, ULONG informationClass);
const ULONG FILE_RENAME_INFORMATION_CLASS = 10;  // FileRenameInformation

// Opens (or, with FILE_OPEN_IF, creates) fileName inside the held folder itself,
// relative to its handle: a path would be looked up again, and a folder swapped
// for a link after its checks would send SYSTEM's file where the link points.
// FILE_OPEN_REPARSE_POINT: a link planted as the file is opened itself, to be
// refused, not followed.
HANDLE OpenInFolder(HANDLE folder, const WCHAR* fileName, ACCESS_MASK access, ULONG share, ULONG disposition,
                    bool* created)
{
    UNICODE_STRING name;
    name.Length = static_cast<USHORT>(lstrlenW(fileName) * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    name.Buffer = const_cast<PWSTR>(fileName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE file = nullptr;
    NTSTATUS result = NtCreateFile(
        &file, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (result < 0) {
        SetLastError(RtlNtStatusToDosError(result));
        return INVALID_HANDLE_VALUE;
    }
    if (created != nullptr)
        *created = status.Information == FILE_CREATED;
    return file;
}

// Opens (or creates) the log file in the held folder, sharing reading and
// writing; INVALID_HANDLE_VALUE when the open fails or the file is not one that
// the log may write. *size is its length.
HANDLE OpenLogFile(HANDLE folder, const WCHAR* folderPath, const WCHAR* fileName, bool* created, LONGLONG* size)
{
    HANDLE file = OpenInFolder(folder, fileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               FILE_OPEN_IF, created);
    if (file == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    if (!IsSingleLinkFile(file, size) || !IsInFolder(file, folder, folderPath, fileName)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Moves the full file aside as Service.old.txt in the same folder, replacing
// an older one, by handle and relative to the held folder (a rename by path
// would reopen the hole that the relative open closes). Fails while a reader
// holds either file without sharing deletion.
bool SetLogFileAside(HANDLE folder, const WCHAR* fileName)
{
    static const SetInformationFileRoutine setInformationFile = reinterpret_cast<SetInformationFileRoutine>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
    if (setInformationFile == nullptr)
        return false;
    HANDLE file = OpenInFolder(folder, fileName, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               FILE_OPEN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LogRenameInformation rename = {};
    rename.replaceIfExists = TRUE;
    rename.rootDirectory = folder;
    rename.fileNameLength = static_cast<ULONG>(lstrlenW(LOG_OLD_FILE) * sizeof(WCHAR));
    lstrcpyW(rename.fileName, LOG_OLD_FILE);
    IO_STATUS_BLOCK status = {};
    NTSTATUS result = setInformationFile(file, &status, &rename, sizeof(rename), FILE_RENAME_INFORMATION_CLASS);
    CloseHandle(file);
    return result >= 0;
}

void WriteLogLine(HANDLE file, bool created, const WCHAR* line)
{
    // Write results are deliberately ignored: a lost line must not stop the service.
    DWORD written = 0;
    if (created) {
        static const BYTE BYTE_ORDER_MARK[2] = {0xFF, 0xFE};
        WriteFile(file, BYTE_ORDER_MARK, sizeof(BYTE_ORDER_MARK), &written, nullptr);
    }
    SetFilePointer(file, 0, nullptr, FILE_END);
    WriteFile(file, line, static_cast<DWORD>(lstrlenW(line)) * sizeof(WCHAR), &written, nullptr);
}

// A level or file that fails its checks loses the line as a failed open does.
// A line that would take the file past its bound goes to a new file once the
// full one is set aside; while that is blocked the line is kept out of the
// file (*blocked), which so never passes the bound.
int AppendLine(const WCHAR* fileName, const WCHAR* message, bool* blocked)
{
    int opened = 0;
    LogLevels levels;
    if (OpenLogLevels(g_logDirectory, &levels) && levels.count > 0) {
        HANDLE folder = levels.handles[levels.count - 1];
        SYSTEMTIME now;
        g_logPlatform.GetLocalTime(&now);
        WCHAR line[LOG_LINE_CHARS];
        FormatLine(line, now, message);
        LONGLONG lineBytes = static_cast<LONGLONG>(lstrlenW(line)) * sizeof(WCHAR);

        bool created = false;
        LONGLONG size = 0;
        HANDLE file = OpenLogFile(folder, levels.path, fileName, &created, &size);
        if (file != INVALID_HANDLE_VALUE && !created &&
            size + lineBytes > static_cast<LONGLONG>(g_logPlatform.maxFileBytes)) {
            // Our own handle would block the rename: it does not share deletion.
            CloseHandle(file);
            file = INVALID_HANDLE_VALUE;
            if (SetLogFileAside(folder, fileName))
                file = OpenLogFile(folder, levels.path, fileName, &created, &size);
            else
                *blocked = true;
        }
        if (file != INVALID_HANDLE_VALUE) {
            WriteLogLine(file, created, line);
            CloseHandle(file);
            opened = 1;
        }
    }
    CloseLogLevels(&levels);
    return opened;
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

int LogIsOn()
{
    return g_logMode != 0 && g_logDirectory[0] != L'\0' && g_logFileName[0] != L'\0';
}

int LogPrintf(const WCHAR* format, ...)
{
    if (!LogIsOn())
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
    bool blocked = false;
    AcquireSRWLockExclusive(&g_logLock);
    int result = AppendLine(fileName, message, &blocked);
    ReleaseSRWLockExclusive(&g_logLock);
    // Kept out of a full file: the debugger output still has it, once.
    if (blocked && !(g_logMode & LOG_TO_DEBUGGER)) {
        g_logPlatform.OutputDebugStringW(message);
        g_logPlatform.OutputDebugStringW(L"\n");
    }
    return result;
}
