/* Tobra client library, private: the one platform call its tests steer. Wine
 * ignores the quality-of-service flags of a pipe open, so tests record them
 * here; the real CreateFileW is the default. Not for the desktop application. */
#ifndef TOBRA_CLIENT_PLATFORM_H
#define TOBRA_CLIENT_PLATFORM_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TobraClientPlatform {
    HANDLE(WINAPI* CreateFileW)
    (LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
     HANDLE templateFile);
} TobraClientPlatform;

extern TobraClientPlatform g_tobraClientPlatform;

#ifdef __cplusplus
}
#endif

#endif /* TOBRA_CLIENT_PLATFORM_H */
