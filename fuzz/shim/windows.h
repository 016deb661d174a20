/* Just enough of <windows.h> to compile the wire format and the client
 * library on Linux for the fuzzers: the types with their Windows widths, the
 * constants, and declarations of the calls, which win32_stubs.c defines. The
 * fuzzers reach only routines that make no platform call. */
#ifndef TOBRA_FUZZ_WINDOWS_SHIM_H
#define TOBRA_FUZZ_WINDOWS_SHIM_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int BOOL;
typedef void* HANDLE;
typedef const wchar_t* LPCWSTR;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef void* PVOID;
typedef const void* LPCVOID;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef void* SC_HANDLE;
typedef wchar_t WCHAR;
typedef void* PSID;
typedef void* PACL;
typedef void* PSECURITY_DESCRIPTOR;
typedef void* HLOCAL;
typedef DWORD SECURITY_INFORMATION;

typedef enum FILE_INFO_BY_HANDLE_CLASS { FileNameInfo = 2 } FILE_INFO_BY_HANDLE_CLASS;
typedef enum SE_OBJECT_TYPE { SE_KERNEL_OBJECT = 6 } SE_OBJECT_TYPE;
typedef enum WELL_KNOWN_SID_TYPE { WinLocalSystemSid = 22 } WELL_KNOWN_SID_TYPE;

typedef struct INIT_ONCE {
    void* Ptr;
} INIT_ONCE, *PINIT_ONCE;
#define INIT_ONCE_STATIC_INIT {0}
typedef BOOL (*PINIT_ONCE_FN)(PINIT_ONCE once, PVOID parameter, PVOID* context);
typedef struct CRITICAL_SECTION {
    void* opaque[5];
} CRITICAL_SECTION;

typedef struct FILE_NAME_INFO {
    DWORD FileNameLength;
    WCHAR FileName[1];
} FILE_NAME_INFO;

typedef struct SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
} SERVICE_STATUS_PROCESS;

typedef struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct OVERLAPPED {
    uintptr_t Internal;
    uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define SECURITY_SQOS_PRESENT 0x00100000u
#define SECURITY_IDENTIFICATION 0x00010000u
#define FILE_TYPE_PIPE 3u
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define ERROR_SUCCESS 0u
#define ERROR_WRITE_FAULT 29u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_BAD_PIPE 230u
#define ERROR_PIPE_BUSY 231u
#define ERROR_PIPE_NOT_CONNECTED 233u
#define ERROR_IO_PENDING 997u
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#define CSTR_EQUAL 2
#define SC_MANAGER_CONNECT 0x0001u
#define SERVICE_QUERY_STATUS 0x0004u
#define SYNCHRONIZE 0x00100000u
#define SC_STATUS_PROCESS_INFO 0
#define OWNER_SECURITY_INFORMATION 0x00000001u

#define ZeroMemory(destination, length) memset((destination), 0, (length))
#define CopyMemory(destination, source, length) memcpy((destination), (source), (length))

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL CloseHandle(HANDLE handle);
DWORD GetFileType(HANDLE file);
DWORD GetLastError(void);
DWORD GetTickCount(void);
BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeoutMs);
DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs);
BOOL CancelIo(HANDLE file);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
BOOL PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD size, LPDWORD read, LPDWORD available, LPDWORD leftInMessage);
int lstrlenW(LPCWSTR text);
int CompareStringOrdinal(LPCWSTR first, int firstLength, LPCWSTR second, int secondLength, BOOL ignoreCase);
BOOL GetNamedPipeServerProcessId(HANDLE pipe, ULONG* processId);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access);
BOOL QueryServiceStatusEx(SC_HANDLE service, int level, BYTE* buffer, DWORD size, LPDWORD needed);
BOOL CloseServiceHandle(SC_HANDLE handle);
BOOL InitOnceExecuteOnce(PINIT_ONCE once, PINIT_ONCE_FN function, PVOID parameter, PVOID* context);
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size);
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted, PSID* owner, PSID* group,
                      PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
BOOL IsValidSid(PSID sid);
BOOL IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type);
HLOCAL LocalFree(HLOCAL memory);

/* What the shim's CreateFileW was last asked to open, and how often. */
extern int g_shimOpenCount;
extern const wchar_t* g_shimOpenedName;

#ifdef __cplusplus
}
#endif

#endif /* TOBRA_FUZZ_WINDOWS_SHIM_H */

/* The administrators' settings' parsers (policy_fuzzer): registry value types,
 * the wide character of the registry's data, and the SID conversion with its
 * LocalFree, which win32_stubs.c stands in for. */
#ifndef TOBRA_FUZZ_WINDOWS_SHIM_POLICY
#define TOBRA_FUZZ_WINDOWS_SHIM_POLICY

#ifdef __cplusplus
extern "C" {
#endif

typedef wchar_t WCHAR;
typedef void* PSID;
typedef void* HLOCAL;

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

HLOCAL LocalFree(HLOCAL memory);

#ifdef __cplusplus
}
#endif

#endif /* TOBRA_FUZZ_WINDOWS_SHIM_POLICY */
