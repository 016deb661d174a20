/* The service's recovery actions, set through the service manager. */
#include "service_recovery.h"

const DWORD RECOVERY_RESTART_DELAYS_MS[RECOVERY_RESTART_COUNT] = {1000, 10000, 60000};

/* Wrappers, so that the table's initial values are constants in C. */
static SC_HANDLE WINAPI OpenManagerWithWindows(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    return OpenSCManagerW(machine, database, access);
}

static SC_HANDLE WINAPI OpenServiceWithWindows(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    return OpenServiceW(manager, name, access);
}

static BOOL WINAPI ChangeConfigWithWindows(SC_HANDLE service, DWORD level, LPVOID info)
{
    return ChangeServiceConfig2W(service, level, info);
}

static BOOL WINAPI CloseWithWindows(SC_HANDLE handle)
{
    return CloseServiceHandle(handle);
}

ServiceRecoveryPlatform g_serviceRecoveryPlatform = {OpenManagerWithWindows, OpenServiceWithWindows,
                                                     ChangeConfigWithWindows, CloseWithWindows};

RecoveryStep SetServiceRecovery(const wchar_t* serviceName, DWORD* error)
{
    RecoveryStep step = RECOVERY_OPEN_MANAGER;
    SC_HANDLE manager;
    SC_HANDLE service = NULL;
    SC_ACTION actions[RECOVERY_ACTION_COUNT];
    SERVICE_FAILURE_ACTIONSW failureActions;
    SERVICE_FAILURE_ACTIONS_FLAG flag;
    int i;

    *error = ERROR_SUCCESS;
    manager = g_serviceRecoveryPlatform.OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        *error = GetLastError();
        return step;
    }
    /* A restart action needs the right to start the service as well. */
    step = RECOVERY_OPEN_SERVICE;
    service = g_serviceRecoveryPlatform.OpenServiceW(manager, serviceName, SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (service == NULL)
        goto cleanup;

    for (i = 0; i < RECOVERY_RESTART_COUNT; ++i) {
        actions[i].Type = SC_ACTION_RESTART;
        actions[i].Delay = RECOVERY_RESTART_DELAYS_MS[i];
    }
    actions[RECOVERY_RESTART_COUNT].Type = SC_ACTION_NONE;
    actions[RECOVERY_RESTART_COUNT].Delay = 0;
    failureActions.dwResetPeriod = RECOVERY_RESET_SECONDS;
    failureActions.lpRebootMsg = NULL;
    failureActions.lpCommand = NULL;
    failureActions.cActions = RECOVERY_ACTION_COUNT;
    failureActions.lpsaActions = actions;
    step = RECOVERY_SET_ACTIONS;
    if (!g_serviceRecoveryPlatform.ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions))
        goto cleanup;

    /* Without it only a crash counts as a failure, not a stop with an error
     * of the service's own (an invalid setting, a pipe it cannot serve). */
    flag.fFailureActionsOnNonCrashFailures = TRUE;
    step = RECOVERY_SET_FLAG;
    if (!g_serviceRecoveryPlatform.ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
        goto cleanup;
    step = RECOVERY_DONE;

cleanup:
    if (step != RECOVERY_DONE)
        *error = GetLastError();
    if (service != NULL)
        g_serviceRecoveryPlatform.CloseServiceHandle(service);
    g_serviceRecoveryPlatform.CloseServiceHandle(manager);
    return step;
}

const wchar_t* RecoveryStepText(RecoveryStep step)
{
    switch (step) {
    case RECOVERY_OPEN_MANAGER:
        return L"open the service manager";
    case RECOVERY_OPEN_SERVICE:
        return L"open the service";
    case RECOVERY_SET_ACTIONS:
        return L"set the failure actions";
    case RECOVERY_SET_FLAG:
        return L"apply the failure actions to stops with an error";
    default:
        return L"nothing";
    }
}
