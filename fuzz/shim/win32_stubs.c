/* The platform calls of the shim. A machine without the service: every pipe
 * open fails with ERROR_FILE_NOT_FOUND and is recorded, the clock stands
 * still, lstrlenW is real. Any other call is a finding: no routine under
 * fuzzing gets further than the open. */
#include <stdio.h>
#include <stdlib.h>

#include "windows.h"

static void Unreachable(const char* name)
{
    fprintf(stderr, "fuzz shim: %s called; the fuzzed routines must make no platform call\n", name);
    abort();
}

#define ERROR_FILE_NOT_FOUND 2u

int g_shimOpenCount;
const wchar_t* g_shimOpenedName;
static DWORD g_lastError;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                   DWORD flags, HANDLE templateFile)
{
    (void)access, (void)share, (void)attributes, (void)disposition, (void)flags, (void)templateFile;
    ++g_shimOpenCount;
    g_shimOpenedName = name;
    g_lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    (void)attributes, (void)manualReset, (void)initialState, (void)name;
    Unreachable("CreateEventW");
    return NULL;
}

BOOL CloseHandle(HANDLE handle)
{
    (void)handle;
    Unreachable("CloseHandle");
    return FALSE;
}

DWORD GetFileType(HANDLE file)
{
    (void)file;
    Unreachable("GetFileType");
    return 0;
}

DWORD GetLastError(void)
{
    return g_lastError;
}

DWORD GetTickCount(void)
{
    return 0;
}

BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeoutMs)
{
    (void)name, (void)timeoutMs;
    Unreachable("WaitNamedPipeW");
    return FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs)
{
    (void)handle, (void)timeoutMs;
    Unreachable("WaitForSingleObject");
    return 0;
}

BOOL CancelIo(HANDLE file)
{
    (void)file;
    Unreachable("CancelIo");
    return FALSE;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait)
{
    (void)file, (void)overlapped, (void)transferred, (void)wait;
    Unreachable("GetOverlappedResult");
    return FALSE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped)
{
    (void)file, (void)buffer, (void)toRead, (void)read, (void)overlapped;
    Unreachable("ReadFile");
    return FALSE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped)
{
    (void)file, (void)buffer, (void)toWrite, (void)written, (void)overlapped;
    Unreachable("WriteFile");
    return FALSE;
}

BOOL PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD size, LPDWORD read, LPDWORD available, LPDWORD leftInMessage)
{
    (void)pipe, (void)buffer, (void)size, (void)read, (void)available, (void)leftInMessage;
    Unreachable("PeekNamedPipe");
    return FALSE;
}

int lstrlenW(LPCWSTR text)
{
    int length = 0;
    if (text == NULL)
        return 0;
    while (text[length] != L'\0')
        ++length;
    return length;
}

int CompareStringOrdinal(LPCWSTR first, int firstLength, LPCWSTR second, int secondLength, BOOL ignoreCase)
{
    (void)first, (void)firstLength, (void)second, (void)secondLength, (void)ignoreCase;
    Unreachable("CompareStringOrdinal");
    return 0;
}

BOOL GetNamedPipeServerProcessId(HANDLE pipe, ULONG* processId)
{
    (void)pipe, (void)processId;
    Unreachable("GetNamedPipeServerProcessId");
    return FALSE;
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId)
{
    (void)access, (void)inherit, (void)processId;
    Unreachable("OpenProcess");
    return NULL;
}

SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    (void)machine, (void)database, (void)access;
    Unreachable("OpenSCManagerW");
    return NULL;
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    (void)manager, (void)name, (void)access;
    Unreachable("OpenServiceW");
    return NULL;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, int level, BYTE* buffer, DWORD size, LPDWORD needed)
{
    (void)service, (void)level, (void)buffer, (void)size, (void)needed;
    Unreachable("QueryServiceStatusEx");
    return FALSE;
}

BOOL CloseServiceHandle(SC_HANDLE handle)
{
    (void)handle;
    Unreachable("CloseServiceHandle");
    return FALSE;
}

BOOL InitOnceExecuteOnce(PINIT_ONCE once, PINIT_ONCE_FN function, PVOID parameter, PVOID* context)
{
    (void)once, (void)function, (void)parameter, (void)context;
    Unreachable("InitOnceExecuteOnce");
    return FALSE;
}

void InitializeCriticalSection(CRITICAL_SECTION* section)
{
    (void)section;
    Unreachable("InitializeCriticalSection");
}

void EnterCriticalSection(CRITICAL_SECTION* section)
{
    (void)section;
    Unreachable("EnterCriticalSection");
}

void LeaveCriticalSection(CRITICAL_SECTION* section)
{
    (void)section;
    Unreachable("LeaveCriticalSection");
}

BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size)
{
    (void)file, (void)infoClass, (void)info, (void)size;
    Unreachable("GetFileInformationByHandleEx");
    return FALSE;
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted, PSID* owner, PSID* group,
                      PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    (void)handle, (void)type, (void)wanted, (void)owner, (void)group, (void)dacl, (void)sacl, (void)descriptor;
    Unreachable("GetSecurityInfo");
    return 1;
}

BOOL IsValidSid(PSID sid)
{
    (void)sid;
    Unreachable("IsValidSid");
    return FALSE;
}

BOOL IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    (void)sid, (void)type;
    Unreachable("IsWellKnownSid");
    return FALSE;
}

/* The administrators' settings' parsers (policy_fuzzer). */

#include "sddl.h"

/* A stand-in for the numeric form that TobraIsSidText hands over,
 * "S-1-<authority>-<sub-authority>...", with the limits Windows keeps there:
 * 1 to 15 sub-authorities, each number within 32 bits. Aliases and the
 * hexadecimal authority are not modelled: the caller never passes them. */
BOOL ConvertStringSidToSidW(LPCWSTR text, PSID* sid)
{
    const wchar_t* p = text;
    int numbers = 0;
    if (wcsncmp(p, L"S-1-", 4) != 0)
        return FALSE;
    p += 4;
    for (;;) {
        uint64_t value = 0;
        if (*p < L'0' || *p > L'9')
            return FALSE;
        while (*p >= L'0' && *p <= L'9') {
            value = value * 10 + (uint64_t)(*p++ - L'0');
            if (value > 0xFFFFFFFFu)
                return FALSE;
        }
        ++numbers;
        if (*p == L'\0')
            break;
        if (*p++ != L'-')
            return FALSE;
    }
    if (numbers < 2 || numbers > 16)
        return FALSE;
    /* A real allocation, so that a SID the caller does not free is a leak. */
    *sid = malloc(8 + 4 * (size_t)(numbers - 1));
    return *sid != NULL;
}

HLOCAL LocalFree(HLOCAL memory)
{
    free(memory);
    return NULL;
}
