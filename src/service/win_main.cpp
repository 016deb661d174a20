// Process entry of TobraService.exe. Started by the service control manager it
// hands the main thread to the dispatcher until the service has stopped;
// started any other way the dispatcher call fails at once and the process ends.
#include <windows.h>
#include <commctrl.h>

#include "log/log.h"
#include "service/service_entry.h"
#include "service/service_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    g_instance = instance;

    SERVICE_TABLE_ENTRYW serviceTable[2] = {
        {const_cast<LPWSTR>(SERVICE_NAME), ServiceMain},
        {nullptr, nullptr},
    };

    InitCommonControls();
    INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES | ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&controls);

    WORD mask = ParseDebugSwitch();
    if (mask != 0)
        LogInit(mask);

    // Fails at once outside the service control manager; either way the process ends with 0.
    StartServiceCtrlDispatcherW(serviceTable);
    return 0;
}
