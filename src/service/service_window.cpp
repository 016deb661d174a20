// The hidden service window and its thread: the window's message loop is the
// one place where the pipe server is started and stopped.
#include "service/service_window.h"

#include "log/log.h"
#include "pipe/pipe_server.h"
#include "service/service_entry.h"
#include "service/service_main.h"
#include "service/service_platform.h"

const WCHAR SERVICE_WINDOW_CLASS[] = L"NORVA TOBRA SERVICE CLASS";

HWND volatile g_serviceWindow = nullptr;
HANDLE g_pipeStopEvent = nullptr;
HANDLE g_pipeThread = nullptr;

namespace {

const int SERVICE_WINDOW_WIDTH = 250;
const int SERVICE_WINDOW_HEIGHT = 220;

// Starts the pipe server. A pipe server that cannot start leaves the service
// unable to serve, which stops it; no thread is started without its stop event.
void InitiateService(HWND window)
{
    // Anything else on this desktop can post to the window; a repeated message
    // must not start a second server or lose the first one's handles.
    if (g_pipeThread != nullptr || g_pipeStopEvent != nullptr)
        return;

    LogPrintf(L"Initiate Service");
    // The event exists before the thread, so its first wait finds it.
    g_pipeStopEvent = g_servicePlatform.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_pipeStopEvent == nullptr) {
        ReportServiceFailure(L"Could not create the pipe stop event", GetLastError());
        return;
    }
    g_pipeThread =
        g_servicePlatform.CreateThread(nullptr, PIPE_THREAD_STACK_SIZE, PipeServerThread, window, 0, nullptr);
    if (g_pipeThread == nullptr)
        ReportServiceFailure(L"Could not start the pipe server", GetLastError());
}

}  // namespace

DWORD WINAPI ServiceWindowThread(LPVOID)
{
    LogPrintf(L"*** %s: Start ***", SERVICE_NAME);

    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = ServiceWindowProc;
    windowClass.hInstance = g_instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = SERVICE_WINDOW_CLASS;

    // Every end of this thread leaves the service without a pipe server: any
    // but the one a stop asked for is a failure that stops the service.
    const WCHAR* failure = nullptr;
    DWORD error = NO_ERROR;
    // The class is never unregistered: the process ends with the service.
    if (g_servicePlatform.RegisterClassW(&windowClass) == 0) {
        failure = L"Could not register the service window class";
        error = GetLastError();
    } else {
        // Never shown: WS_VISIBLE is absent and nothing shows it later.
        HWND window = g_servicePlatform.CreateWindowExW(
            0, SERVICE_WINDOW_CLASS, SERVICE_WINDOW_CLASS, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
            SERVICE_WINDOW_WIDTH, SERVICE_WINDOW_HEIGHT, nullptr, nullptr, g_instance, nullptr);
        g_serviceWindow = window;
        if (window == nullptr) {
            failure = L"Could not create the service window";
            error = GetLastError();
        } else {
            // WM_CREATE has already posted WM_INITIATE_SERVICE; a WM_CLOSE sent
            // before the first GetMessageW is handled ahead of it.
            MSG message;
            for (;;) {
                BOOL result = g_servicePlatform.GetMessageW(&message, nullptr, 0, 0);
                if (result == -1) {
                    failure = L"Could not read the service window's messages";
                    error = GetLastError();
                    break;
                }
                if (result == 0)
                    break;
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            // After WM_CLOSE this finds nothing left. A loop that ended any other
            // way (GetMessageW failed, a stray WM_QUIT) would leave the pipe
            // server running with nobody to stop it before the service reports
            // stopped: a restart could be cut off between its off and on.
            StopPipeThread();
            // The stop routines claim the stop before they send WM_CLOSE; a
            // window closed while the service still runs was closed by someone
            // else.
            if (failure == nullptr && g_running != 0) {
                failure = L"The service window was closed";
                error = SERVICE_WINDOW_CLOSED_ERROR;
            }
        }
    }
    if (failure != nullptr)
        ReportServiceFailure(failure, error);

    LogPrintf(L"*** %s: End ***", SERVICE_NAME);
    ExitThread(0);
}

LRESULT CALLBACK ServiceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        PostMessageW(window, WM_INITIATE_SERVICE, 0, 0);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        // Sent by the stop routines, which rely on the pipe thread having
        // ended and the window being gone once this returns.
        StopPipeThread();
        DestroyWindow(window);
        return 0;
    case WM_INITIATE_SERVICE:
        InitiateService(window);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

int StopPipeThread()
{
    if (g_pipeStopEvent != nullptr)
        SetEvent(g_pipeStopEvent);

    // The pipe thread sees the event only between clients, so this lasts until
    // the current client has been served or has run out of time.
    DWORD exitCode = 0;
    while (g_pipeThread != nullptr) {
        if (!g_servicePlatform.GetExitCodeThread(g_pipeThread, &exitCode)) {
            // The event must not be closed under a thread that may still run:
            // wait on the thread itself, which fails at once for a handle
            // that allows no wait either.
            WaitForSingleObject(g_pipeThread, INFINITE);
            break;
        }
        if (exitCode != STILL_ACTIVE)
            break;
        Sleep(1);
    }

    if (g_pipeStopEvent != nullptr)
        CloseHandle(g_pipeStopEvent);
    g_pipeStopEvent = nullptr;
    if (g_pipeThread != nullptr)
        CloseHandle(g_pipeThread);
    g_pipeThread = nullptr;
    return 1;
}
