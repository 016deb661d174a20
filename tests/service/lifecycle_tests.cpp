// Service main routine and control handler in process: every status report
// through the SetServiceStatus seam, start failures through the seams of the
// failing calls, the real window thread with a stand-in pipe thread.
#include <gmock/gmock.h>

#include <algorithm>

#include "host_fixture.h"
#include "pipe/pipe_platform.h"
#include "pipe/control_message.h"
#include "pipe/pipe_server.h"

using ::testing::ElementsAre;

namespace servicetest {
namespace {

using LifecycleTest = ServiceHostTest;

// --- A normal life ---------------------------------------------------------------

struct StopControl {
    const char* name;
    DWORD control;
    DWORD waitHint;
    bool failExitCodeQuery;  // the stop cannot poll the pipe thread: it waits on it instead
};

class NormalLife : public ServiceHostTest, public ::testing::WithParamInterface<StopControl> {};

TEST_P(NormalLife, ReportsEveryStateAndStopsWindowAndPipeThreadBeforeStopped)
{
    fake_.pipeLingerMs = 200;  // the pipe thread finishes a client after the stop event
    fake_.quitDelayMs = 300;   // and the window thread is slow to write its End line
    fake_.failExitCodeQuery = GetParam().failExitCodeQuery;
    {
        ServiceRun run;
        ASSERT_TRUE(fake_.WaitForReport(SERVICE_RUNNING, 10000));
        ASSERT_TRUE(test::Signalled(fake_.pipeThreadStarted));
        // Taken once SetServiceStatus has answered, just after the report was recorded.
        EXPECT_TRUE(test::WaitUntil([] { return g_currentState == SERVICE_RUNNING; }));
        EXPECT_EQ(fake_.registeredName, L"Tobra Service");
        EXPECT_EQ(fake_.registeredHandler, ServiceCtrlHandler);
        HWND window = g_serviceWindow;
        ASSERT_NE(window, nullptr);

        // The dispatcher's thread: returns only when the window and pipe thread are gone.
        ServiceCtrlHandler(GetParam().control);
        EXPECT_EQ(fake_.pipeThreadEnded, 1);
        EXPECT_FALSE(IsWindow(window));
        EXPECT_EQ(g_pipeThread, nullptr);
        EXPECT_EQ(g_pipeStopEvent, nullptr);
        EXPECT_EQ(g_windowThread, nullptr);
        ASSERT_TRUE(run.Ended());
    }
    // Read at once: once stopped is reported the process may end any moment,
    // so the window thread's End line must already be there.
    EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE, STOP_START, WINDOW_END, STOP_END));
    EXPECT_THAT(fake_.Reports(),
                ElementsAre(StartPending1(), StartPending2(), Running(), StopPending(GetParam().waitHint), Stopped(0)));
    EXPECT_FALSE(fake_.foreignStatusHandle);
    EXPECT_TRUE(fake_.pipeEndedBeforeStopped);
    EXPECT_EQ(g_currentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(g_running, 0);
    EXPECT_EQ(g_serviceStopEvent, nullptr);
}

INSTANTIATE_TEST_SUITE_P(StopAndShutdown, NormalLife,
                         ::testing::Values(StopControl{"Stop", SERVICE_CONTROL_STOP, 5000, false},
                                           StopControl{"Shutdown", SERVICE_CONTROL_SHUTDOWN, 10000, false},
                                           StopControl{"StopWithoutExitCodes", SERVICE_CONTROL_STOP, 5000, true}),
                         test::RowName());

TEST_F(LifecycleTest, WholeLifeLeavesNoHandleBehind)
{
    // The first life opens what the process keeps (class, log folder); count from the second.
    for (int life = 0; life < 3; ++life) {
        DWORD before = test::ProcessHandleCount();
        ASSERT_GT(before, 0u);
        ASSERT_NO_FATAL_FAILURE(RunOneLife());
        ASSERT_TRUE(test::Signalled(fake_.windowThread));
        CloseHandle(fake_.windowThread);
        fake_.windowThread = nullptr;
        ResetEvent(fake_.pipeThreadStarted);
        UnregisterClassW(SERVICE_WINDOW_CLASS, g_instance);
        g_serviceWindow = nullptr;
        g_currentState = SERVICE_START_PENDING;
        DWORD after = test::ProcessHandleCount();
        if (life > 0) {
            EXPECT_EQ(after, before) << "life " << life;
        }
    }
}

// --- Start failures ----------------------------------------------------------------

struct StartFailure {
    const char* name;
    void (*provoke)(FakeServicePlatform& fake);
    std::vector<Report> reports;
    std::vector<std::wstring> log;  // a failed start logs nothing but an invalid setting
};

class StartFailures : public ServiceHostTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailures, EndInTheStoppedReportWithTheFailingCallsError)
{
    GetParam().provoke(fake_);
    DWORD before = test::ProcessHandleCount();
    ASSERT_GT(before, 0u);
    {
        ServiceRun run;
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_EQ(fake_.Reports(), GetParam().reports);
    EXPECT_EQ(fake_.windowThread, nullptr) << "no window thread after a failed start";
    EXPECT_EQ(g_running, 0);
    EXPECT_EQ(g_serviceStopEvent, nullptr);
    EXPECT_EQ(Log(), GetParam().log);
    DWORD after = test::ProcessHandleCount();
    EXPECT_EQ(after, before) << "the stop event is closed on every path";
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartFailures,
    ::testing::Values(StartFailure{"RegisterServiceCtrlHandlerW",
                                   [](FakeServicePlatform& f) { f.registerError = ERROR_SERVICE_DOES_NOT_EXIST; },
                                   {},
                                   {}},
                      StartFailure{"Start1Refused",
                                   [](FakeServicePlatform& f) {
                                       f.refusedReport = 1;
                                       f.reportError = ERROR_INVALID_DATA;
                                   },
                                   {StartPending1(), Stopped(ERROR_INVALID_DATA)},
                                   {}},
                      StartFailure{"CreateEventW",
                                   [](FakeServicePlatform& f) {
                                       f.failedEvent = 1;
                                       f.eventError = ERROR_NOT_ENOUGH_MEMORY;
                                   },
                                   {StartPending1(), Stopped(ERROR_NOT_ENOUGH_MEMORY)},
                                   {}},
                      StartFailure{"Start2Refused",
                                   [](FakeServicePlatform& f) {
                                       f.refusedReport = 2;
                                       f.reportError = ERROR_INVALID_HANDLE;
                                   },
                                   {StartPending1(), StartPending2(), Stopped(ERROR_INVALID_HANDLE)},
                                   {}},
                      StartFailure{"CreateThread",
                                   [](FakeServicePlatform& f) { f.windowThreadError = ERROR_NO_SYSTEM_RESOURCES; },
                                   {StartPending1(), StartPending2(), Stopped(ERROR_NO_SYSTEM_RESOURCES)},
                                   {}},
                      // The service never runs with wider access than an administrator configured.
                      StartFailure{"InvalidPolicySetting",
                                   [](FakeServicePlatform&) {
                                       test::WriteRegistryValue(HKEY_CURRENT_USER, TEST_SETTINGS_KEY, L"AllowedClients",
                                                                REG_SZ, L"Everyone");
                                   },
                                   {StartPending1(), Stopped(ERROR_INVALID_DATA)},
                                   {L"Setting AllowedClients is invalid"}}),
    test::RowName());

TEST_F(LifecycleTest, RefusedRunningReportTakesTheWindowDownBetweenTheTerminateLines)
{
    fake_.refusedReport = 3;
    fake_.reportError = ERROR_INVALID_HANDLE;
    {
        ServiceRun run;
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_THAT(fake_.Reports(),
                ElementsAre(StartPending1(), StartPending2(), Running(), Stopped(ERROR_INVALID_HANDLE)));
    EXPECT_TRUE(fake_.pipeEndedBeforeStopped);
    EXPECT_EQ(g_currentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(g_running, 0);
    EXPECT_EQ(g_serviceStopEvent, nullptr);
    EXPECT_EQ(g_windowThread, nullptr);
    EXPECT_EQ(g_pipeThread, nullptr);
    EXPECT_EQ(g_pipeStopEvent, nullptr);
    ASSERT_TRUE(test::Signalled(fake_.windowThread)) << "the window was closed";
    EXPECT_FALSE(IsWindow(g_serviceWindow));

    std::vector<std::wstring> log = Log();
    auto at = [&](const std::wstring& line) { return std::find(log.begin(), log.end(), line) - log.begin(); };
    ASSERT_LT(at(TERMINATE_END), static_cast<long long>(log.size()));
    EXPECT_LT(at(TERMINATE_START), at(TERMINATE_END));
    EXPECT_LT(at(WINDOW_START), static_cast<long long>(log.size()));
    EXPECT_EQ(std::count(log.begin(), log.end(), STOP_START), 0);
}

// A refused stop-pending or stopped report holds nothing up: the stop runs
// to its end, and only an accepted report changes the state.
struct RefusedStop {
    const char* name;
    int refusedReport;
    DWORD finalState;
};

class RefusedStopReport : public ServiceHostTest, public ::testing::WithParamInterface<RefusedStop> {};

TEST_P(RefusedStopReport, StillStopsEverythingOnce)
{
    fake_.refusedReport = GetParam().refusedReport;
    {
        ServiceRun run;
        ASSERT_TRUE(fake_.WaitForReport(SERVICE_RUNNING, 10000));
        ASSERT_TRUE(test::WaitUntil([] { return g_currentState == SERVICE_RUNNING; }));
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_THAT(fake_.Reports(),
                ElementsAre(StartPending1(), StartPending2(), Running(), StopPending(5000), Stopped(0)));
    EXPECT_TRUE(fake_.pipeEndedBeforeStopped);
    EXPECT_EQ(g_currentState, GetParam().finalState);
    EXPECT_EQ(g_serviceStopEvent, nullptr);
    EXPECT_EQ(g_windowThread, nullptr);
    EXPECT_EQ(g_pipeThread, nullptr);
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), STOP_END), 1);
}

INSTANTIATE_TEST_SUITE_P(Reports, RefusedStopReport,
                         ::testing::Values(RefusedStop{"StopPending", 4, SERVICE_STOPPED},
                                           RefusedStop{"Stopped", 5, SERVICE_STOP_PENDING}),
                         test::RowName());

// --- The real pipe server cannot start: the service runs without it -----------------

struct PipeStartFault {
    const char* name;
    void (*provoke)(FakeServicePlatform& fake);
    const wchar_t* logged;  // the pipe thread's line about it, or null
};

HANDLE WINAPI FailingCreateNamedPipeW(LPCWSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES)
{
    SetLastError(ERROR_INVALID_NAME);  // not a name in use, which would be tried again
    return INVALID_HANDLE_VALUE;
}

int FailingGrant(PSID, HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

HANDLE WINAPI FailingCreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

DWORD WINAPI FailingWaitForMultipleObjects(DWORD, const HANDLE*, BOOL, DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

class PipeServerStartFault : public ServiceHostTest, public ::testing::WithParamInterface<PipeStartFault> {
protected:
    // The first life with the real server opens what the process keeps: count from the second.
    static void SetUpTestSuite()
    {
        ResetServiceHost();
        FakeServicePlatform fake;
        fake.realPipeServer = true;
        test::ScopedTestLog log(L"C:\\tobra-tests\\service-host");
        {
            ServiceRun run;
            if (fake.WaitForReport(SERVICE_RUNNING, 10000))
                test::WaitUntil([] { return WaitNamedPipeW(CONTROL_PIPE_NAME, 1) != FALSE; });
            ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        }
        test::Signalled(fake.windowThread);
        UnregisterClassW(SERVICE_WINDOW_CLASS, GetModuleHandleW(nullptr));
    }

    test::ScopedSwap<PipePlatform> pipePlatform_{g_pipePlatform};
};

TEST_P(PipeServerStartFault, ServiceRunsWithoutAPipeAndStopsAtOnce)
{
    fake_.realPipeServer = true;
    GetParam().provoke(fake_);
    DWORD before = test::ProcessHandleCount();
    {
        ServiceRun run;
        ASSERT_TRUE(fake_.WaitForReport(SERVICE_RUNNING, 10000));
        // The pipe thread ends by itself (or never starts); the service keeps running.
        if (test::Signalled(fake_.pipeThreadStarted, 1000)) {
            ASSERT_TRUE(test::Signalled(fake_.pipeThread, 5000));
            DWORD code = STILL_ACTIVE;
            EXPECT_TRUE(GetExitCodeThread(fake_.pipeThread, &code));
            EXPECT_EQ(code, 0u);
        }
        wire::Client client;
        EXPECT_EQ(client.Open(CONTROL_PIPE_NAME), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "no client reaches it";
        EXPECT_FALSE(run.Ended(0));
        EXPECT_EQ(g_currentState, static_cast<DWORD>(SERVICE_RUNNING));
        if (GetParam().logged != nullptr)
            EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE, GetParam().logged));
        else
            EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE)) << "nothing is logged about the failure";

        DWORD start = GetTickCount();
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(run.Ended(2000));
        EXPECT_LT(GetTickCount() - start, 2000u);
    }
    EXPECT_THAT(fake_.Reports(),
                ElementsAre(StartPending1(), StartPending2(), Running(), StopPending(5000), Stopped(0)));
    EXPECT_TRUE(fake_.pipeEndedBeforeStopped);
    ASSERT_TRUE(test::Signalled(fake_.windowThread));
    EXPECT_EQ(g_pipeStopEvent, nullptr);
    EXPECT_EQ(g_pipeThread, nullptr);
    // The fake's duplicates of the two threads' handles are not the service's.
    DWORD duplicates = 1 + (fake_.pipeThread != nullptr ? 1 : 0);
    EXPECT_EQ(test::HandleCountSettledAt(before + duplicates), before + duplicates);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, PipeServerStartFault,
    ::testing::Values(
        PipeStartFault{"PipeCreationFails",
                       [](FakeServicePlatform&) { g_pipePlatform.CreateNamedPipeW = FailingCreateNamedPipeW; },
                       L"Could not create the control pipe (error 123)"},
        PipeStartFault{"GrantFails", [](FakeServicePlatform&) { g_pipePlatform.GrantFullAccess = FailingGrant; },
                       L"Could not open the control pipe to clients (error 5)"},
        PipeStartFault{"ConnectEventFails",
                       [](FakeServicePlatform&) { g_pipePlatform.CreateEventW = FailingCreateEventW; },
                       L"Could not create the connect event (error 8)"},
        PipeStartFault{
            "WaitFails",
            [](FakeServicePlatform&) { g_pipePlatform.WaitForMultipleObjects = FailingWaitForMultipleObjects; },
            nullptr},
        // The host's second event: the pipe stop event on WM_INITIATE_SERVICE.
        PipeStartFault{"PipeStopEventFails", [](FakeServicePlatform& fake) { fake.failedEvent = 2; }, nullptr}),
    test::RowName());

// --- Controls ------------------------------------------------------------------------

struct ControlCase {
    DWORD state;  // g_currentState when the control comes
    DWORD control;
    bool reported;  // whether a report is made
};

class Controls : public ServiceHostTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(Controls, AnswerWithTheCurrentStateOrNothing)
{
    g_statusHandle = FakeStatusHandle();
    g_currentState = GetParam().state;
    ServiceCtrlHandler(GetParam().control);

    std::vector<Report> expected;
    if (GetParam().reported) {
        DWORD accepted = GetParam().state == SERVICE_START_PENDING ? 0 : 5;
        expected.push_back({0x10, GetParam().state, accepted, 0, 0, 0, 0});
    }
    EXPECT_EQ(fake_.Reports(), expected);
    EXPECT_EQ(g_currentState, GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(InterrogateUserDefinedPauseContinue, Controls,
                         ::testing::Values(
                             // Before any report was accepted the initial start-pending state is reported.
                             ControlCase{SERVICE_START_PENDING, SERVICE_CONTROL_INTERROGATE, true},
                             ControlCase{SERVICE_RUNNING, SERVICE_CONTROL_INTERROGATE, true},
                             ControlCase{SERVICE_STOP_PENDING, SERVICE_CONTROL_INTERROGATE, true},
                             ControlCase{SERVICE_RUNNING, 128, true}, ControlCase{SERVICE_RUNNING, 200, true},
                             ControlCase{SERVICE_START_PENDING, 255, true},
                             ControlCase{SERVICE_RUNNING, SERVICE_CONTROL_PARAMCHANGE, true},
                             ControlCase{SERVICE_RUNNING, 0, true}, ControlCase{SERVICE_RUNNING, 0xFFFFFFFF, true},
                             ControlCase{SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, false},
                             ControlCase{SERVICE_RUNNING, SERVICE_CONTROL_CONTINUE, false},
                             ControlCase{SERVICE_START_PENDING, SERVICE_CONTROL_PAUSE, false}));

TEST_F(LifecycleTest, RefusedInterrogateLeavesTheStateAlone)
{
    g_statusHandle = FakeStatusHandle();
    g_currentState = SERVICE_RUNNING;
    fake_.refusedReport = 1;
    ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(fake_.Reports().size(), 1u);
    EXPECT_EQ(g_currentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(LifecycleTest, StopBeforeTheRunningFlagIsReportedButTheServiceStillComesUp)
{
    // Delivered on the service main thread while Start 2 is being reported.
    fake_.onReport = [](int call) {
        if (call == 2)
            ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    };
    ServiceRun run;
    ASSERT_TRUE(fake_.WaitForReport(SERVICE_RUNNING, 10000));
    EXPECT_THAT(fake_.Reports(), ElementsAre(StartPending1(), StartPending2(), StopPending(5000), Running()));
    EXPECT_TRUE(test::WaitUntil([] { return g_currentState == SERVICE_RUNNING; }));
    ASSERT_TRUE(test::Signalled(fake_.pipeThreadStarted));
    EXPECT_EQ(WaitForSingleObject(g_serviceStopEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(run.Ended(0));
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), STOP_START), 0) << "the early stop did nothing";

    fake_.onReport = nullptr;
    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(run.Ended());
    EXPECT_EQ(fake_.Reports().back(), Stopped(0));
}

TEST_F(LifecycleTest, SecondStopReportsStopPendingAgainAndDoesNothingMore)
{
    ASSERT_NO_FATAL_FAILURE(RunOneLife());
    ASSERT_TRUE(test::Signalled(fake_.windowThread));
    size_t reports = fake_.Reports().size();
    std::vector<std::wstring> log = Log();

    ServiceCtrlHandler(SERVICE_CONTROL_SHUTDOWN);
    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    std::vector<Report> after = fake_.Reports();
    ASSERT_EQ(after.size(), reports + 2);
    EXPECT_EQ(after[reports], StopPending(10000));
    EXPECT_EQ(after[reports + 1], StopPending(5000));
    EXPECT_EQ(Log(), log);
    EXPECT_EQ(fake_.pipeThreadsCreated, 1);
}

// --- Stops without a window ----------------------------------------------------------

class StopWithoutWindow : public ServiceHostTest, public ::testing::WithParamInterface<WindowFailure> {};

TEST_P(StopWithoutWindow, SkipsTheWindowAndStopsAtOnce)
{
    fake_.classError = GetParam().classError;
    fake_.windowError = GetParam().windowError;
    {
        ServiceRun run;
        ASSERT_TRUE(fake_.WaitForReport(SERVICE_RUNNING, 10000));
        ASSERT_TRUE(test::Signalled(fake_.windowThread)) << "the window thread ends on its own";
        EXPECT_EQ(g_serviceWindow, nullptr);
        EXPECT_THAT(Log(), ElementsAre(WINDOW_START, WINDOW_END));

        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        EXPECT_EQ(g_windowThread, nullptr) << "the window thread's handle is closed without a window too";
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_EQ(fake_.pipeThreadsCreated, 0);
    EXPECT_EQ(fake_.Reports().back(), Stopped(0));
    EXPECT_THAT(Log(), ElementsAre(WINDOW_START, WINDOW_END, STOP_START, STOP_END));
}

INSTANTIATE_TEST_SUITE_P(ClassOrWindow, StopWithoutWindow, ::testing::ValuesIn(WINDOW_FAILURES), test::RowName());

TEST_F(LifecycleTest, StopBeforeTheWindowIsPublishedWaitsForItAndClosesIt)
{
    // The window thread is held until the stop has begun, then creates its window.
    fake_.beforeCreateWindow = [this] {
        // g_running is set before the running report, so once that is in, a
        // clear flag means the stop has begun.
        fake_.WaitForReport(SERVICE_RUNNING, 10000);
        for (int i = 0; i < 5000 && g_running != 0; ++i)
            Sleep(1);
    };
    {
        ServiceRun run;
        ASSERT_TRUE(fake_.WaitForReport(SERVICE_RUNNING, 10000));
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        // Whether the pipe thread got started first or not, it is gone now.
        EXPECT_EQ(fake_.pipeThreadEnded, fake_.pipeThreadsCreated > 0 ? 1 : 0);
        EXPECT_EQ(g_pipeThread, nullptr);
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_NE(g_serviceWindow, nullptr);
    EXPECT_FALSE(IsWindow(g_serviceWindow));
    ASSERT_TRUE(test::Signalled(fake_.windowThread));
    EXPECT_EQ(fake_.Reports().back(), Stopped(0));
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), WINDOW_END), 1);
}

}  // namespace
}  // namespace servicetest
