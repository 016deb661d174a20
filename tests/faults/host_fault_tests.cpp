// The whole service in process under single failures: ServiceMain, the real
// window thread and the real pipe server on the service's pipe name, with the
// service control manager and the failing call behind the seams. (A real
// TobraService.exe under the service manager cannot be reached by a seam.)
// Each case asserts the status reports with their exit codes, the log, that
// the pipe thread had ended before the stopped report, and that no handle is
// left behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "fault_support.h"
#include "pipe/control_message.h"
#include "service/service_entry.h"
#include "service/service_main.h"
#include "service/service_window.h"
#include "support/test_support.h"

using namespace faults;
using ::testing::ElementsAre;

namespace faults {

// Whether the pipe thread had ended is asserted apart, where it matters.
bool operator==(const Report& a, const Report& b)
{
    return a.state == b.state && a.exitCode == b.exitCode && a.checkPoint == b.checkPoint &&
           a.waitHint == b.waitHint;
}

void PrintTo(const Report& r, std::ostream* out)
{
    *out << "{state " << r.state << ", exit " << r.exitCode << ", checkpoint " << r.checkPoint << ", hint "
         << r.waitHint << (r.pipeThreadEnded ? ", pipe thread ended}" : "}");
}

}  // namespace faults

namespace {

const WCHAR LOG_FOLDER[] = L"C:\\tobra-fault-tests\\host";
const std::wstring WINDOW_START = L"*** Tobra Service: Start ***";
const std::wstring WINDOW_END = L"*** Tobra Service: End ***";
const std::wstring INITIATE = L"Initiate Service";
const std::wstring STOP_START = L"*** Stop Service: Start ***";
const std::wstring STOP_END = L"*** Stop Service: End ***";
const std::wstring TERMINATE_START = L"*** Terminate Service: Start ***";
const std::wstring TERMINATE_END = L"*** Terminate Service: End ***";

const Report START_1 = {SERVICE_START_PENDING, 0, 1, 8000, false};
const Report START_2 = {SERVICE_START_PENDING, 0, 2, 10000, false};
const Report RUNNING = {SERVICE_RUNNING, 0, 0, 0, false};
const Report STOP_PENDING = {SERVICE_STOP_PENDING, 0, 1, 5000, false};
Report Stopped(DWORD exitCode)
{
    return {SERVICE_STOPPED, exitCode, 0, 0, true};
}

// The pipe thread leaves through one of the failure paths, or through the stop.
bool ThreadEnded(HANDLE thread, DWORD timeoutMs = 5000)
{
    return Signalled(thread, timeoutMs);
}

// A failure that is not a name in use, which would be tried again.
HANDLE WINAPI FailingCreateNamedPipeW(LPCWSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES)
{
    SetLastError(ERROR_INVALID_NAME);
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

class HostFaultTest : public ::testing::Test {
protected:
    // The first life of the process opens what it keeps (the window class's
    // resources, the log folder, the flush's timer thread): count from the second.
    static void SetUpTestSuite()
    {
        ResetServiceHost();
        ScopedPipeSeam pipe;
        ServiceSeam seam;
        test::ScopedTestLog log(LOG_FOLDER);
        ServiceRun run;
        if (seam.WaitForReport(SERVICE_RUNNING) && ControlPipeListening()) {
            Client client;
            if (client.Open(CONTROL_PIPE_NAME) == 0 && client.Write(AdapterRequest(ACTION_RESTART)))
                ReadReply(client, 5000);
        }
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        run.Ended();
        Signalled(seam.windowThread, 5000);
        UnregisterClassW(SERVICE_WINDOW_CLASS, GetModuleHandleW(nullptr));
    }

    void SetUp() override
    {
        ResetServiceHost();
        handlesBefore_ = HandleCount();
    }

    void TearDown() override
    {
        if (seam_.windowThread != nullptr) {
            EXPECT_TRUE(ThreadEnded(seam_.windowThread)) << "window thread still running";
        }
        if (seam_.pipeThread != nullptr) {
            EXPECT_TRUE(ThreadEnded(seam_.pipeThread)) << "pipe thread still running";
        }
        UnregisterClassW(SERVICE_WINDOW_CLASS, g_instance);
    }

    // A service that started, with whatever pipe server it got, is stopped as
    // the dispatcher would stop it; the pipe thread must be gone by Stopped.
    void StopAndExpectStoppedWithin(ServiceRun& run, DWORD timeoutMs)
    {
        DWORD start = GetTickCount();
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(run.Join(timeoutMs));
        EXPECT_LT(GetTickCount() - start, timeoutMs);
        EXPECT_THAT(seam_.Reports(), ElementsAre(START_1, START_2, RUNNING, STOP_PENDING, Stopped(0)));
        EXPECT_TRUE(seam_.Reports().back().pipeThreadEnded);
    }

    // Every handle of the life released: the event, both threads, the pipe.
    void ExpectNothingLeft()
    {
        if (seam_.windowThread != nullptr) {
            ASSERT_TRUE(ThreadEnded(seam_.windowThread));
        }
        EXPECT_EQ(g_serviceStopEvent, nullptr);
        EXPECT_EQ(g_windowThread, nullptr);
        EXPECT_EQ(g_pipeStopEvent, nullptr);
        EXPECT_EQ(g_pipeThread, nullptr);
        EXPECT_EQ(OpenControlPipe(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        // The seam's duplicates are not the service's.
        DWORD duplicates = (seam_.windowThread != nullptr ? 1 : 0) + (seam_.pipeThread != nullptr ? 1 : 0);
        EXPECT_EQ(HandleCountSettledAt(handlesBefore_ + duplicates), handlesBefore_ + duplicates);
    }

    std::vector<std::wstring> Log() const { return log_.Messages(); }

    ScopedPipeSeam pipe_;
    ServiceSeam seam_;
    test::ScopedTestLog log_{LOG_FOLDER};
    DWORD handlesBefore_ = 0;
};

// --- Refused status reports -----------------------------------------------------------

TEST_F(HostFaultTest, RefusedRunningReportTakesTheServingPipeServerDown)
{
    seam_.refusedReport = 3;
    seam_.reportError = ERROR_INVALID_HANDLE;
    // The refusal comes once the pipe server is up and listening.
    seam_.onReport = [](int call) {
        if (call == 3)
            ControlPipeListening();
    };
    {
        ServiceRun run;
        ASSERT_TRUE(run.Ended());
    }
    ASSERT_NE(seam_.pipeThread, nullptr);
    EXPECT_THAT(seam_.Reports(), ElementsAre(START_1, START_2, RUNNING, Stopped(ERROR_INVALID_HANDLE)));
    EXPECT_TRUE(seam_.Reports().back().pipeThreadEnded);
    EXPECT_EQ(g_currentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(g_running, 0);
    ExpectNothingLeft();
    std::vector<std::wstring> log = Log();
    auto start = std::find(log.begin(), log.end(), TERMINATE_START);
    auto end = std::find(log.begin(), log.end(), TERMINATE_END);
    ASSERT_NE(end, log.end());
    EXPECT_LT(start, end);
    EXPECT_EQ(std::count(log.begin(), log.end(), STOP_START), 0);
}

TEST_F(HostFaultTest, RefusedStopPendingReportDoesNotHoldTheStop)
{
    seam_.refusedReport = 4;
    {
        ServiceRun run;
        ASSERT_TRUE(seam_.WaitForReport(SERVICE_RUNNING));
        ASSERT_TRUE(ControlPipeListening());
        ASSERT_TRUE(WaitUntil([] { return g_currentState == SERVICE_RUNNING; }));
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_THAT(seam_.Reports(), ElementsAre(START_1, START_2, RUNNING, STOP_PENDING, Stopped(0)));
    EXPECT_TRUE(seam_.Reports().back().pipeThreadEnded);
    EXPECT_EQ(g_currentState, static_cast<DWORD>(SERVICE_STOPPED));
    ExpectNothingLeft();
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), STOP_END), 1);
}

TEST_F(HostFaultTest, RefusedStoppedReportStillEndsServiceMain)
{
    seam_.refusedReport = 5;
    {
        ServiceRun run;
        ASSERT_TRUE(seam_.WaitForReport(SERVICE_RUNNING));
        ASSERT_TRUE(ControlPipeListening());
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(run.Ended());
    }
    EXPECT_THAT(seam_.Reports(), ElementsAre(START_1, START_2, RUNNING, STOP_PENDING, Stopped(0)));
    EXPECT_EQ(g_currentState, static_cast<DWORD>(SERVICE_STOP_PENDING)) << "a refused report changes no state";
    ExpectNothingLeft();
}

// --- The pipe server cannot start: the service runs without it ---------------------------

struct PipeStartFault {
    const char* name;
    void (*provoke)(ServiceSeam& seam);
    const wchar_t* logged;  // the pipe thread's line about it, or null
};

class PipeServerStartFault : public HostFaultTest, public ::testing::WithParamInterface<PipeStartFault> {};

TEST_P(PipeServerStartFault, ServiceRunsWithoutAPipeAndStopsAtOnce)
{
    GetParam().provoke(seam_);
    ServiceRun run;
    ASSERT_TRUE(seam_.WaitForReport(SERVICE_RUNNING));
    ASSERT_TRUE(WaitUntil([this] { return seam_.windowThread != nullptr; }));
    // The pipe thread ends by itself (or never starts); the service keeps running.
    if (WaitUntil([this] { return seam_.pipeThread != nullptr; }, 1000)) {
        ASSERT_TRUE(ThreadEnded(seam_.pipeThread));
        DWORD code = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeThread(seam_.pipeThread, &code));
        EXPECT_EQ(code, 0u);
    }
    EXPECT_EQ(OpenControlPipe(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "no client can reach the service";
    EXPECT_FALSE(run.Ended(0));
    EXPECT_EQ(g_currentState, static_cast<DWORD>(SERVICE_RUNNING));
    if (GetParam().logged != nullptr)
        EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE, GetParam().logged));
    else
        EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE)) << "nothing is logged about the failure";

    StopAndExpectStoppedWithin(run, 2000);
    ExpectNothingLeft();
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), STOP_END), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, PipeServerStartFault,
    ::testing::Values(
        PipeStartFault{"PipeCreationFails", [](ServiceSeam&) { g_pipePlatform.CreateNamedPipeW = FailingCreateNamedPipeW; },
                       L"Could not create the control pipe (error 123)"},
        PipeStartFault{"GrantFails", [](ServiceSeam&) { g_pipePlatform.GrantFullAccess = FailingGrant; },
                       L"Could not open the control pipe to clients (error 5)"},
        PipeStartFault{"ConnectEventFails", [](ServiceSeam&) { g_pipePlatform.CreateEventW = FailingCreateEventW; },
                       L"Could not create the connect event (error 8)"},
        PipeStartFault{"WaitFails",
                       [](ServiceSeam&) { g_pipePlatform.WaitForMultipleObjects = FailingWaitForMultipleObjects; },
                       nullptr},
        // The host's second event: the pipe stop event on WM_INITIATE_SERVICE.
        PipeStartFault{"PipeStopEventFails", [](ServiceSeam& seam) { seam.failedEvent = 2; }, nullptr}),
    [](const ::testing::TestParamInfo<PipeStartFault>& info) { return std::string(info.param.name); });

// --- The window thread's own calls ---------------------------------------------------

TEST_F(HostFaultTest, FailedMessageLoopLeavesNoPipeServerBehind)
{
    // Call 1 gets WM_INITIATE_SERVICE, which starts the pipe server; call 2 fails.
    seam_.failedGetMessage = 2;
    ServiceRun run;
    ASSERT_TRUE(seam_.WaitForReport(SERVICE_RUNNING));
    ASSERT_TRUE(WaitUntil([this] { return seam_.windowThread != nullptr; }));
    ASSERT_TRUE(ThreadEnded(seam_.windowThread)) << "the loop ends as on WM_QUIT";
    ASSERT_NE(seam_.pipeThread, nullptr);
    EXPECT_TRUE(ThreadEnded(seam_.pipeThread, 0)) << "the pipe server outlived its window thread";
    EXPECT_EQ(g_pipeThread, nullptr);
    EXPECT_EQ(g_pipeStopEvent, nullptr);
    EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE, WINDOW_END));

    StopAndExpectStoppedWithin(run, 2000);
    ExpectNothingLeft();
}

TEST_F(HostFaultTest, FailedExitCodeQueryStillWaitsForTheClientBeingServed)
{
    seam_.failExitCodeQuery = true;
    g_actions.delayMs = 300;  // a restart under way when the stop comes
    ServiceRun run;
    ASSERT_TRUE(seam_.WaitForReport(SERVICE_RUNNING));
    ASSERT_TRUE(ControlPipeListening());
    Client client;
    ASSERT_EQ(client.Open(CONTROL_PIPE_NAME), 0u);
    ASSERT_TRUE(client.Write(AdapterRequest(ACTION_RESTART)));
    ASSERT_TRUE(WaitUntil([] { return g_actions.started.load() == 1; }));

    std::thread stop([] { ServiceCtrlHandler(SERVICE_CONTROL_STOP); });
    EXPECT_EQ(Hex(ReadReply(client, 5000)), Hex(Reply(COMMAND_ADAPTER, STATUS_DONE)));
    stop.join();
    ASSERT_TRUE(run.Join());
    EXPECT_EQ(g_actions.finished, 1);
    EXPECT_THAT(seam_.Reports(), ElementsAre(START_1, START_2, RUNNING, STOP_PENDING, Stopped(0)));
    EXPECT_TRUE(seam_.Reports().back().pipeThreadEnded) << "stopped while the restart was still under way";
    client.Close();
    ExpectNothingLeft();
}

}  // namespace
