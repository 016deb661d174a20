/* The service manager's recovery actions for the service, as the package's
 * custom action sets them: restart after 1 s, 10 s and 60 s, then nothing,
 * the failure count reset after a day, and the flag that applies them also
 * when the service stops with an error of its own. */
#ifndef TOBRA_SERVICE_RECOVERY_H
#define TOBRA_SERVICE_RECOVERY_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Three restarts, then an action of none: the service manager repeats the
 * last action for every later failure, and a service that keeps failing (an
 * invalid setting) must not be started every minute, each time with an error
 * in the Event Log. It stays stopped until an administrator starts it. */
#define RECOVERY_RESTART_COUNT 3
#define RECOVERY_ACTION_COUNT (RECOVERY_RESTART_COUNT + 1)
#define RECOVERY_RESET_SECONDS (24 * 60 * 60)
/* The restarts' delays in milliseconds: 1 s, 10 s, 60 s. */
extern const DWORD RECOVERY_RESTART_DELAYS_MS[RECOVERY_RESTART_COUNT];

/* The steps of SetServiceRecovery, in order; RECOVERY_DONE when all worked. */
typedef enum {
    RECOVERY_OPEN_MANAGER,
    RECOVERY_OPEN_SERVICE,
    RECOVERY_SET_ACTIONS,
    RECOVERY_SET_FLAG,
    RECOVERY_DONE
} RecoveryStep;

/* The service-manager calls, which tests replace: Wine keeps no failure
 * actions and refuses the flag, so neither can be read back there. */
typedef struct {
    SC_HANDLE(WINAPI* OpenSCManagerW)(LPCWSTR machine, LPCWSTR database, DWORD access);
    SC_HANDLE(WINAPI* OpenServiceW)(SC_HANDLE manager, LPCWSTR name, DWORD access);
    BOOL(WINAPI* ChangeServiceConfig2W)(SC_HANDLE service, DWORD level, LPVOID info);
    BOOL(WINAPI* CloseServiceHandle)(SC_HANDLE handle);
} ServiceRecoveryPlatform;
extern ServiceRecoveryPlatform g_serviceRecoveryPlatform;

/* Sets the recovery actions of the named service and then the flag; the
 * actions stay set when only the flag is refused. Returns the step that
 * failed, with its error in *error, or RECOVERY_DONE (*error 0). Every handle
 * it opens is closed. */
RecoveryStep SetServiceRecovery(const wchar_t* serviceName, DWORD* error);

/* What the step does, for the installer's log: "set the failure actions". */
const wchar_t* RecoveryStepText(RecoveryStep step);

#ifdef __cplusplus
}
#endif

#endif
