/* Tobra client library, private: the platform calls its tests steer. Wine
 * ignores the quality-of-service flags of a pipe open, so tests record them
 * here; the name and owner reads of the server check cannot be made to fail
 * for real, nor a process id be made to come back for another process. The real calls are the defaults. Not for the desktop application. */
#ifndef TOBRA_CLIENT_PLATFORM_H
#define TOBRA_CLIENT_PLATFORM_H

#include <windows.h>
#include <aclapi.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TobraClientPlatform {
    HANDLE(WINAPI* CreateFileW)
    (LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
     HANDLE templateFile);
    BOOL(WINAPI* GetFileInformationByHandleEx)
    (HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size);
    DWORD(WINAPI* GetSecurityInfo)
    (HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted, PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
     PSECURITY_DESCRIPTOR* descriptor);
    BOOL(WINAPI* GetNamedPipeServerProcessId)(HANDLE pipe, PULONG processId);
    HANDLE(WINAPI* OpenProcess)(DWORD access, BOOL inherit, DWORD processId);
} TobraClientPlatform;

extern TobraClientPlatform g_tobraClientPlatform;

#ifdef __cplusplus
}
#endif

#endif /* TOBRA_CLIENT_PLATFORM_H */
