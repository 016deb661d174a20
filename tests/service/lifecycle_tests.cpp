// Service main routine and control handler in process: every status report
// through the SetServiceStatus seam, start failures through the seams of the
// failing calls, the real window thread with a stand-in pipe thread.
#include <gmock/gmock.h>

#include <algorithm>

#include "event/event_log.h"
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
    EXPECT_EQ(g_serviceFailureEvent, nullptr);
    EXPECT_EQ(g_serviceFailure, 0) << "the window closed by a stop was taken for a failure";
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
    test::EventRecorder events;
    DWORD before = test::ProcessHandleCount();
    ASSERT_GT(before, 0u);
    {
        ServiceRun run;
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_EQ(fake_.Reports(), GetParam().reports);
    // Only an invalid setting is the administrator's to mend.
    EXPECT_EQ(events.Events(MSG_INVALID_SETTING).size(), GetParam().log.size());
    EXPECT_EQ(events.Events().size(), GetParam().log.size());
    EXPECT_EQ(fake_.windowThread, nullptr) << "no window thread after a failed start";
    EXPECT_EQ(g_running, 0);
    EXPECT_EQ(g_serviceStopEvent, nullptr);
    EXPECT_EQ(g_serviceFailureEvent, nullptr);
    EXPECT_EQ(Log(), GetParam().log);
    DWORD after = test::ProcessHandleCount();
    EXPECT_EQ(after, before) << "the stop and failure events are closed on every path";
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
                      StartFailure{"FailureEvent",
                                   [](FakeServicePlatform& f) {
                                       f.failedEvent = 2;
                                       f.eventError = ERROR_NO_SYSTEM_RESOURCES;
                                   },
                                   {StartPending1(), Stopped(ERROR_NO_SYSTEM_RESOURCES)},
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
                                   {L"Setting AllowedClients is invalid"}},
                      StartFailure{"EmptyEntryInTheClientList",
                                   [](FakeServicePlatform&) {
                                       test::WriteRegistryValue(HKEY_CURRENT_USER, TEST_SETTINGS_KEY, L"AllowedClients",
                                                                REG_MULTI_SZ, test::MultiString({L"", L"S-1-5-4"}));
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
    EXPECT_EQ(g_serviceFailure, 0) << "the terminate's close was taken for a failure";
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

// --- A service that cannot serve stops with the error ---------------------------------

struct CannotServe {
    const char* name;
    void (*provoke)(FakeServicePlatform& fake);
    DWORD error;            // the stopped report's exit code
    const wchar_t* logged;  // the failure's line
};

HANDLE WINAPI FailingCreateNamedPipeW(LPCWSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES)
{
    SetLastError(ERROR_INVALID_NAME);  // not a name in use, which would be tried again
    return INVALID_HANDLE_VALUE;
}

PSECURITY_DESCRIPTOR FailingBuildPipeSecurity(const WCHAR*)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
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

// A failed call that leaves no error code.
HANDLE WINAPI SilentlyFailingCreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)
{
    SetLastError(NO_ERROR);
    return nullptr;
}

BOOL WINAPI FailingConnectNamedPipe(HANDLE, LPOVERLAPPED)
{
    SetLastError(ERROR_BAD_PIPE);  // none of the three a server expects
    return FALSE;
}

DWORD WINAPI FailingWaitForMultipleObjects(DWORD, const HANDLE*, BOOL, DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

class ServiceThatCannotServe : public ServiceHostTest, public ::testing::WithParamInterface<CannotServe> {
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

// Without a stop control: stop-pending, the window and pipe threads taken down
// as at a stop, then stopped with the failure's error, so that the service
// manager's recovery can restart it.
TEST_P(ServiceThatCannotServe, StopsItselfWithTheErrorAsExitCode)
{
    fake_.realPipeServer = true;
    GetParam().provoke(fake_);
    test::EventRecorder events;
    DWORD before = test::ProcessHandleCount();
    {
        ServiceRun run;
        ASSERT_TRUE(run.Ended()) << "still running without a pipe server";
    }
    // One error event, with what failed and its code, as the log says it.
    std::vector<test::RecordedEvent> stops = events.Events(MSG_CANNOT_SERVE);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].type, EVENTLOG_ERROR_TYPE);
    ASSERT_EQ(stops[0].strings.size(), 2u);
    EXPECT_EQ(stops[0].strings[0] + L" (error " + stops[0].strings[1] + L")", GetParam().logged);
    EXPECT_THAT(fake_.Reports(),
                ElementsAre(StartPending1(), StartPending2(), Running(), StopPending(5000), Stopped(GetParam().error)));
    EXPECT_TRUE(fake_.pipeEndedBeforeStopped);
    ASSERT_TRUE(test::Signalled(fake_.windowThread));
    if (fake_.pipeThread != nullptr) {
        DWORD code = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeThread(fake_.pipeThread, &code));
        EXPECT_EQ(code, 0u);
    }
    wire::Client client;
    EXPECT_EQ(client.Open(CONTROL_PIPE_NAME), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(g_pipeStopEvent, nullptr);
    EXPECT_EQ(g_pipeThread, nullptr);
    EXPECT_EQ(g_windowThread, nullptr);
    EXPECT_EQ(g_serviceStopEvent, nullptr);
    EXPECT_EQ(g_serviceFailureEvent, nullptr);

    // Logged once, and before the stop it causes.
    std::vector<std::wstring> log = Log();
    auto at = [&](const std::wstring& line) { return std::find(log.begin(), log.end(), line) - log.begin(); };
    EXPECT_EQ(test::CountMessages(log, GetParam().logged), 1);
    EXPECT_EQ(test::CountMessages(log, STOP_START), 1);
    EXPECT_EQ(test::CountMessages(log, STOP_END), 1);
    EXPECT_LT(at(GetParam().logged), at(STOP_START));
    EXPECT_EQ(test::CountMessages(log, TERMINATE_START), 0);

    // The fake's duplicates of the two threads' handles are not the service's.
    DWORD duplicates = 1 + (fake_.pipeThread != nullptr ? 1 : 0);
    EXPECT_EQ(test::HandleCountSettledAt(before + duplicates), before + duplicates);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, ServiceThatCannotServe,
    ::testing::Values(
        // The pipe thread's.
        CannotServe{"ConnectEventFails",
                    [](FakeServicePlatform&) { g_pipePlatform.CreateEventW = FailingCreateEventW; },
                    ERROR_NOT_ENOUGH_MEMORY, L"Could not create the connect event (error 8)"},
        // Never a stopped report that says all went well.
        CannotServe{"FailureWithoutAnErrorCode",
                    [](FakeServicePlatform&) { g_pipePlatform.CreateEventW = SilentlyFailingCreateEventW; },
                    ERROR_INTERNAL_ERROR, L"Could not create the connect event (error 1359)"},
        CannotServe{"DescriptorFails",
                    [](FakeServicePlatform&) { g_pipePlatform.BuildPipeSecurity = FailingBuildPipeSecurity; },
                    ERROR_NOT_ENOUGH_MEMORY, L"Could not open the control pipe to clients (error 8)"},
        CannotServe{"PipeCreationFails",
                    [](FakeServicePlatform&) { g_pipePlatform.CreateNamedPipeW = FailingCreateNamedPipeW; },
                    ERROR_INVALID_NAME, L"Could not create the control pipe (error 123)"},
        CannotServe{"GrantFails", [](FakeServicePlatform&) { g_pipePlatform.GrantFullAccess = FailingGrant; },
                    ERROR_ACCESS_DENIED, L"Could not open the control pipe to clients (error 5)"},
        CannotServe{"ConnectFails",
                    [](FakeServicePlatform&) { g_pipePlatform.ConnectNamedPipe = FailingConnectNamedPipe; },
                    ERROR_BAD_PIPE, L"Could not listen for clients of the control pipe (error 230)"},
        CannotServe{"WaitFails",
                    [](FakeServicePlatform&) { g_pipePlatform.WaitForMultipleObjects = FailingWaitForMultipleObjects; },
                    ERROR_INVALID_HANDLE, L"Could not wait for clients of the control pipe (error 6)"},
        // The window thread's. Events: the service's stop and failure events, then the pipe stop event.
        CannotServe{"PipeStopEventFails", [](FakeServicePlatform& f) { f.failedEvent = 3; }, ERROR_NOT_ENOUGH_MEMORY,
                    L"Could not create the pipe stop event (error 8)"},
        CannotServe{"PipeThreadFails", [](FakeServicePlatform& f) { f.pipeThreadError = ERROR_NO_SYSTEM_RESOURCES; },
                    ERROR_NO_SYSTEM_RESOURCES, L"Could not start the pipe server (error 1450)"},
        CannotServe{"ClassFails", [](FakeServicePlatform& f) { f.classError = ERROR_NOT_ENOUGH_MEMORY; },
                    ERROR_NOT_ENOUGH_MEMORY, L"Could not register the service window class (error 8)"},
        CannotServe{"WindowFails", [](FakeServicePlatform& f) { f.windowError = ERROR_OUTOFMEMORY; }, ERROR_OUTOFMEMORY,
                    L"Could not create the service window (error 14)"},
        // Call 1 gets WM_INITIATE_SERVICE, which starts the pipe thread.
        CannotServe{"MessageLoopFails", [](FakeServicePlatform& f) { f.failedGetMessage = 2; },
                    ERROR_INVALID_WINDOW_HANDLE, L"Could not read the service window's messages (error 1400)"},
        // Queued behind WM_INITIATE_SERVICE, as another program on the desktop could.
        CannotServe{"WindowClosedByAnotherProgram",
                    [](FakeServicePlatform& f) {
                        f.afterCreateWindow = [](HWND window) { PostMessageW(window, WM_CLOSE, 0, 0); };
                    },
                    ERROR_INVALID_WINDOW_HANDLE, L"The service window was closed (error 1400)"}),
    test::RowName());

// A stop control at the moment of a failure: ServiceMain's stop finds it
// claimed, and the service stops once.
class StopControlAtAFailure : public ServiceHostTest, public ::testing::WithParamInterface<WindowFailure> {};

TEST_P(StopControlAtAFailure, RunsTheStopOnceAndSkipsTheMissingWindow)
{
    fake_.classError = GetParam().classError;
    fake_.windowError = GetParam().windowError;
    // The control comes while ServiceMain reports the failure's stop-pending.
    fake_.onReport = [](int call) {
        if (call == 4)
            ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    };
    {
        ServiceRun run;
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_EQ(g_serviceWindow, nullptr);
    EXPECT_EQ(g_windowThread, nullptr) << "the window thread's handle is closed without a window too";
    EXPECT_EQ(fake_.pipeThreadsCreated, 0);
    EXPECT_THAT(fake_.Reports(), ElementsAre(StartPending1(), StartPending2(), Running(), StopPending(5000),
                                             StopPending(5000), Stopped(ERROR_NOT_ENOUGH_MEMORY)));
    // The window thread's End line and the stop's lines may interleave.
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(log.size(), 5u);
    EXPECT_EQ(test::CountMessages(log, GetParam().logged), 1);
    EXPECT_EQ(test::CountMessages(log, WINDOW_END), 1);
    EXPECT_EQ(test::CountMessages(log, STOP_START), 1);
    EXPECT_EQ(test::CountMessages(log, STOP_END), 1);
}

INSTANTIATE_TEST_SUITE_P(ClassOrWindow, StopControlAtAFailure, ::testing::ValuesIn(WINDOW_FAILURES), test::RowName());

// A failure while a stop control's stop is under way: ServiceMain waits for
// that stop instead of running one of its own or closing what it still uses.
TEST_F(LifecycleTest, FailureDuringAStopWaitsForThatStopAndKeepsTheFirstError)
{
    fake_.onPipeStop = [this] {
        ReportServiceFailure(L"First failure", ERROR_NOT_ENOUGH_MEMORY);
        ReportServiceFailure(L"Second failure", ERROR_ACCESS_DENIED);
        // ServiceMain has taken the failure up: its stop-pending is in.
        test::WaitUntil([this] { return fake_.Reports().size() >= 5; });
    };
    {
        ServiceRun run;
        ASSERT_TRUE(fake_.WaitForReport(SERVICE_RUNNING, 10000));
        ASSERT_TRUE(test::Signalled(fake_.pipeThreadStarted));
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        EXPECT_EQ(fake_.pipeThreadEnded, 1);
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_THAT(fake_.Reports(), ElementsAre(StartPending1(), StartPending2(), Running(), StopPending(5000),
                                             StopPending(5000), Stopped(ERROR_NOT_ENOUGH_MEMORY)));
    EXPECT_TRUE(fake_.pipeEndedBeforeStopped);
    ASSERT_NE(g_serviceFailureReason, nullptr);
    EXPECT_EQ(g_serviceFailureReason, std::wstring(L"First failure"));
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(test::CountMessages(log, STOP_START), 1);
    EXPECT_EQ(test::CountMessages(log, STOP_END), 1);
    EXPECT_EQ(test::CountMessages(log, L"First failure (error 8)"), 1);
    EXPECT_EQ(test::CountMessages(log, L"Second failure (error 5)"), 1) << "every failure is logged";
}

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

// --- A stop right after the running report ------------------------------------------

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
