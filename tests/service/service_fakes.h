// Recording stand-ins for the service host's platform seam: a status handle
// that no service control manager issued, status reports that can be refused,
// events, threads, classes and windows that can fail, and a pipe thread that
// the window thread starts and stops in place of the real pipe server.
#pragma once

#include <windows.h>

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "service/service_platform.h"
#include "support/test_support.h"

namespace servicetest {

struct Report {
    DWORD type;
    DWORD state;
    DWORD accepted;
    DWORD exitCode;
    DWORD specificExitCode;
    DWORD checkPoint;
    DWORD waitHint;
};
bool operator==(const Report& a, const Report& b);
std::ostream& operator<<(std::ostream& out, const Report& report);

// The reports of a normal life, for comparison.
Report StartPending1();
Report StartPending2();
Report Running();
Report StopPending(DWORD waitHint);
Report Stopped(DWORD exitCode);

// Replaces every service-host seam entry while it lives (the command-line
// entries stay real); one at a time.
class FakeServicePlatform {
public:
    FakeServicePlatform();
    ~FakeServicePlatform();
    FakeServicePlatform(const FakeServicePlatform&) = delete;
    FakeServicePlatform& operator=(const FakeServicePlatform&) = delete;

    // --- What to fail (set before the code runs) ---
    DWORD registerError = 0;  // RegisterServiceCtrlHandlerW fails with it
    int refusedReport = 0;    // 1-based SetServiceStatus call that is refused
    DWORD reportError = ERROR_INVALID_DATA;
    int failedEvent = 0;  // 1-based CreateEventW call that fails
    DWORD eventError = ERROR_NOT_ENOUGH_MEMORY;
    DWORD windowThreadError = 0;     // CreateThread of the window thread fails with it
    DWORD pipeThreadError = 0;       // CreateThread of the pipe thread fails with it
    DWORD classError = 0;            // RegisterClassW fails with it
    DWORD windowError = 0;           // CreateWindowExW fails with it
    DWORD pipeLingerMs = 0;          // the pipe thread's work after its stop event (a client being served)
    DWORD quitDelayMs = 0;           // the window thread's pause once its message loop has seen WM_QUIT
    int failedGetMessage = 0;        // 1-based GetMessageW call that returns -1
    bool failExitCodeQuery = false;  // GetExitCodeThread fails
    // The real pipe server on the service's pipe name instead of the stand-in.
    bool realPipeServer = false;
    // Runs inside SetServiceStatus, on the reporting thread, before the report is
    // answered; gets the 1-based call number.
    std::function<void(int)> onReport;
    // Runs on the window thread right before / after the real CreateWindowExW.
    std::function<void()> beforeCreateWindow;
    std::function<void(HWND)> afterCreateWindow;
    // Runs on the stand-in pipe thread once it has seen its stop event.
    std::function<void()> onPipeStop;

    // --- What happened ---
    std::vector<Report> Reports();
    // Waits until a report with this state has been accepted or refused.
    bool WaitForReport(DWORD state, DWORD timeoutMs);
    std::wstring registeredName;
    LPHANDLER_FUNCTION registeredHandler = nullptr;
    bool foreignStatusHandle = false;  // a report came with a handle not issued here
    // The window thread (a duplicate handle, for waiting; closed by the destructor).
    HANDLE windowThread = nullptr;
    // The pipe thread: how it was started and what it saw.
    int pipeThreadsCreated = 0;
    SIZE_T pipeThreadStackSize = 0;
    LPVOID pipeThreadParameter = nullptr;
    HANDLE pipeThreadRequested = nullptr;  // event, set when CreateThread is asked for the pipe thread
    HANDLE pipeThreadStarted = nullptr;    // event, set when the stand-in runs
    volatile LONG pipeThreadEnded = 0;     // the stand-in has ended
    HANDLE pipeThread = nullptr;           // the real server's thread (a duplicate handle)
    // Whether the pipe thread (stand-in or real) had ended when stopped was reported.
    bool pipeEndedBeforeStopped = false;
    HWND windowAtPipeStart = nullptr;  // g_serviceWindow when the pipe thread started

    static FakeServicePlatform* Current();

    // For the stand-ins.
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
    int NextEventCall();
    int NextMessageCall();

private:
    bool PipeThreadGone();

    test::ScopedSwap<ServicePlatform> platform_{g_servicePlatform};
    // Not std::mutex: mingw's keeps handles while it lives, which the handle
    // counts would take for a leak.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE reported_ = CONDITION_VARIABLE_INIT;
    std::vector<Report> reports_;
    volatile LONG eventCalls_ = 0;
    volatile LONG messageCalls_ = 0;
};

// The status handle that the fake registration hands out.
SERVICE_STATUS_HANDLE FakeStatusHandle();

// The keys the fake points the policy at, under HKEY_CURRENT_USER; gone before
// and after each fake's life.
extern const WCHAR TEST_GROUP_POLICY_KEY[];
extern const WCHAR TEST_SETTINGS_KEY[];

}  // namespace servicetest
