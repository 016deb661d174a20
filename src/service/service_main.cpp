// Interim service main: the service host (window, pipe server, control
// handler) is not built yet, so a start is refused cleanly rather than left
// pending forever.
#include "service/service_main.h"

#include "service/service_entry.h"

namespace {

void WINAPI RefuseControl(DWORD) {}

}  // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(SERVICE_NAME, RefuseControl);
    if (handle == nullptr)
        return;
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwWin32ExitCode = ERROR_CALL_NOT_IMPLEMENTED;
    SetServiceStatus(handle, &status);
}
