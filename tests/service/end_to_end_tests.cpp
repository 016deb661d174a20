// The real TobraService.exe under the prefix's service control manager:
// registered, started, queried, interrogated, stopped and deleted through the
// service-manager API, with requests on the real control pipe. Each test
// prints what it measured.
#include <windows.h>
#include <sddl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdio.h>
#include <string.h>

#include "pipe/control_message.h"
#include "service_client.h"
#include "support/test_support.h"
#include "tobra_client.h"
#include "tobra_client_platform.h"

using namespace serviceclient;
using namespace wire;

namespace {

const DWORD START_TIMEOUT_MS = 15000;
const DWORD STOP_TIMEOUT_MS = 15000;
const DWORD REQUEST_TIMEOUT_MS = 10000;
const unsigned char NO_SUCH_ADAPTER[6] = {0x02, 0x00, 0x5E, 0x7B, 0x0B, 0xA0};

std::wstring CommandLine(const std::wstring& switches)
{
    std::wstring line = L"\"" + ServiceExecutablePath() + L"\"";
    return switches.empty() ? line : line + L" " + switches;
}

bool PipeExists()
{
    HANDLE pipe = CreateFileW(CONTROL_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
        CloseHandle(pipe);  // a silent client: costs the server its header wait, but only when a test already failed
        return true;
    }
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

// An adapter with a hardware address that GetAdaptersAddresses reports here (no name: none).
Adapter PickAdapter()
{
    for (const Adapter& adapter : ListAdapters()) {
        if (adapter.addressLength == 6)
            return adapter;
    }
    return Adapter{};
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void Measure(const char* what, double milliseconds)
{
    printf("[ MEASURE  ] %s: %.1f ms\n", what, milliseconds);
    fflush(stdout);
}

// The stop control was taken in time. Wine's service manager reads the control
// handler's answer over a pipe that the service's process may already have
// closed by ending (its stopped report may come first): ERROR_BROKEN_PIPE then,
// never the time-out (1053) of a handler that did not return.
bool ControlAnswered(DWORD error)
{
    return error == ERROR_SUCCESS || error == ERROR_BROKEN_PIPE;
}

// Lines of `log` in the order of `wanted` (others may lie between).
bool InOrder(const std::vector<std::wstring>& log, const std::vector<std::wstring>& wanted)
{
    size_t next = 0;
    for (const std::wstring& line : log) {
        if (next < wanted.size() && line == wanted[next])
            ++next;
    }
    return next == wanted.size();
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(RemoveService()) << "a registration left over cannot be removed";
        ASSERT_TRUE(test::DeleteTree(test::SERVICE_LOG_ROOT));
    }
    void TearDown() override
    {
        service_ = ScHandle();
        EXPECT_TRUE(RemoveService());
        EXPECT_EQ(CountServiceProcesses(), 0);
        test::DeleteTree(test::SERVICE_LOG_ROOT);
    }

    // Installs with the switches and starts; the time from StartService to
    // the first client that the pipe accepted (and served) when `untilPipe`.
    void InstallAndStart(const std::wstring& switches, bool untilPipe, double* acceptMs = nullptr)
    {
        service_ = InstallService(CommandLine(switches));
        ASSERT_TRUE(service_) << ErrorText(GetLastError());
        double start = NowMs();
        ASSERT_TRUE(StartTobraService(service_.Get())) << ErrorText(GetLastError());
        SERVICE_STATUS_PROCESS status = {};
        ASSERT_TRUE(WaitForState(service_.Get(), SERVICE_RUNNING, START_TIMEOUT_MS, &status))
            << "state " << status.dwCurrentState << ", exit code " << status.dwWin32ExitCode;
        if (!untilPipe)
            return;
        HANDLE pipe = ConnectControlPipe(START_TIMEOUT_MS);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << "the pipe never accepted a client";
        if (acceptMs != nullptr)
            *acceptMs = NowMs() - start;
        std::string reply;
        EXPECT_TRUE(Transact(pipe, CommandRequest(2), &reply, REQUEST_TIMEOUT_MS));
        CloseHandle(pipe);
        EXPECT_EQ(reply, Reply(2, STATUS_NOT_DONE));
    }

    ScHandle service_;
};

TEST_F(EndToEnd, RunningServiceServesRequestsAndStopsWithExitCodeZero)
{
    double acceptMs = 0;
    InstallAndStart(L"-dlog", true, &acceptMs);
    Measure("StartService to the pipe accepting a client", acceptMs);

    // Running: own process, stop and shutdown accepted, nothing pending.
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_TRUE(QueryStatus(service_.Get(), &status));
    EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 0u);
    EXPECT_NE(status.dwProcessId, 0u);

    SERVICE_STATUS interrogated = {};
    ASSERT_TRUE(ControlService(service_.Get(), SERVICE_CONTROL_INTERROGATE, &interrogated))
        << ErrorText(GetLastError());
    EXPECT_EQ(interrogated.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(interrogated.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));

    // Pause is not accepted; the manager refuses it and the service runs on.
    SERVICE_STATUS paused = {};
    EXPECT_FALSE(ControlService(service_.Get(), SERVICE_CONTROL_PAUSE, &paused));
    ASSERT_TRUE(QueryStatus(service_.Get(), &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    // Restart and disable for an address that no adapter here has: served and
    // answered "done" like any other, without touching the machine's network
    // (the suite may run on a real Windows machine too).
    Adapter real = PickAdapter();
    const BYTE NO_ADAPTER[6] = {0x02, 0x00, 0x5E, 0x7B, 0x0B, 0xA0};
    for (const Adapter& adapter : ListAdapters())
        ASSERT_FALSE(adapter.addressLength == 6 && memcmp(adapter.address, NO_ADAPTER, 6) == 0);
    std::string reply;
    ASSERT_TRUE(SendRequest(AdapterRequest(NO_ADAPTER, ACTION_RESTART), &reply, REQUEST_TIMEOUT_MS));
    EXPECT_EQ(Hex(reply), "54 42 01 00 01 01 00 00 00 00 00 00");

    // The same through the client library and through tobractl, whose list
    // shows this machine's adapters.
    TobraOutcome outcome = {};
    EXPECT_EQ(TobraRestartAdapter(nullptr, NO_ADAPTER, REQUEST_TIMEOUT_MS, &outcome), TOBRA_DONE)
        << "error " << outcome.error;
    EXPECT_EQ(TobraDisableAdapter(nullptr, NO_ADAPTER, REQUEST_TIMEOUT_MS, &outcome), TOBRA_DONE)
        << "error " << outcome.error;
    std::wstring tobractl = L"\"" + test::ModuleDirectory() + L"\\tobractl.exe\" ";
    std::string output;
    EXPECT_EQ(test::RunCaptured(tobractl + L"restart 02-00-5E-7B-0B-A0", REQUEST_TIMEOUT_MS, &output), 7)
        << "no adapter has the address: " << output;
    EXPECT_EQ(test::RunCaptured(tobractl + L"list", REQUEST_TIMEOUT_MS, &output), 0) << output;
    if (real.name != "") {
        EXPECT_NE(output.find(real.AddressText()), std::string::npos) << output;
    }

    // An unknown command is answered "not done"; a close gets no reply.
    ASSERT_TRUE(SendRequest(CommandRequest(7), &reply, REQUEST_TIMEOUT_MS));
    EXPECT_EQ(reply, Reply(7, STATUS_NOT_DONE));
    ASSERT_TRUE(SendRequest(CommandRequest(COMMAND_CLOSE), &reply, REQUEST_TIMEOUT_MS));
    EXPECT_EQ(reply, "");

    std::vector<double> trips;
    for (int i = 0; i < 25; ++i) {
        double start = NowMs();
        ASSERT_TRUE(SendRequest(CommandRequest(2), &reply, REQUEST_TIMEOUT_MS));
        trips.push_back(NowMs() - start);
        ASSERT_EQ(reply, Reply(2, STATUS_NOT_DONE));
    }
    Measure("median round trip of a request (25 requests)", Median(trips));

    StopResult stop = StopAndWait(service_.Get(), STOP_TIMEOUT_MS);
    Measure("stop, from ControlService to the process's end", stop.milliseconds);
    ASSERT_TRUE(stop.stopped);
    EXPECT_TRUE(ControlAnswered(stop.controlError)) << ErrorText(stop.controlError);
    EXPECT_EQ(stop.status.dwWin32ExitCode, 0u);
    EXPECT_EQ(stop.status.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(stop.processExitCode, 0);
    EXPECT_LT(stop.milliseconds, 5000.0) << "an idle stop is prompt";
    EXPECT_FALSE(PipeExists());

    std::vector<std::wstring> log = test::ParseLogMessages(test::ReadFileBytes(test::SERVICE_LOG_FILE));
    EXPECT_FALSE(log.empty());
    if (!log.empty()) {
        EXPECT_EQ(log.front(), L"*** Tobra Service: Start ***");
    }
    // The probe at start, four adapter requests (raw, library twice, tobractl), command 7; the raw one is
    // this process's, under its own account.
    EXPECT_TRUE(
        InOrder(log, {L"*** Tobra Service: Start ***", L"Initiate Service", L"*** Recv pipe message ***",
                      L"  Name: \\\\.\\pipe\\norva\\Tobra Service", L"  Command: 02", L"  Data Size: 0",
                      L"*** Recv pipe message ***", L"  Command: 01", L"  Data Size: 7", test::OwnClientLine(),
                      L"*** Recv pipe message ***",
                      L"  Command: 01", L"*** Recv pipe message ***", L"  Command: 01", L"*** Recv pipe message ***",
                      L"  Command: 01", L"*** Recv pipe message ***", L"  Command: 07", L"*** Stop Service: Start ***",
                      L"*** Stop Service: End ***"}));
    EXPECT_EQ(std::count(log.begin(), log.end(), L"*** Terminate Service: Start ***"), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), L"PIPE Timeout."), 0);
    if (HasFailure()) {
        for (const std::wstring& line : log)
            printf("[ LOG      ] %ls\n", line.c_str());
    }
}

class WithoutLogFile : public EndToEnd, public ::testing::WithParamInterface<const WCHAR*> {};

TEST_P(WithoutLogFile, LeavesNothingOnDisk)
{
    InstallAndStart(GetParam(), true);
    StopResult stop = StopAndWait(service_.Get(), STOP_TIMEOUT_MS);
    ASSERT_TRUE(stop.stopped);
    EXPECT_EQ(stop.status.dwWin32ExitCode, 0u);
    EXPECT_FALSE(test::PathExists(test::SERVICE_LOG_ROOT));
}

INSTANTIATE_TEST_SUITE_P(NoSwitchAndDebuggerOnly, WithoutLogFile, ::testing::Values(L"", L"-dout"));

TEST_F(EndToEnd, StartAndStopTwentyTimesLeavesNothingBehind)
{
    service_ = InstallService(CommandLine(L""));
    ASSERT_TRUE(service_) << ErrorText(GetLastError());
    std::vector<double> accepts, stops;
    double whole = NowMs();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        double start = NowMs();
        ASSERT_TRUE(StartTobraService(service_.Get())) << ErrorText(GetLastError());
        ASSERT_TRUE(WaitForState(service_.Get(), SERVICE_RUNNING, START_TIMEOUT_MS));
        // Every other round stops at once after the running report, while the
        // window may still be coming up.
        if (round % 2 == 0) {
            std::string reply;
            ASSERT_TRUE(SendRequest(CommandRequest(2), &reply, REQUEST_TIMEOUT_MS));
            accepts.push_back(NowMs() - start);
            ASSERT_EQ(reply, Reply(2, STATUS_NOT_DONE));
        }
        StopResult stop = StopAndWait(service_.Get(), STOP_TIMEOUT_MS);
        ASSERT_TRUE(stop.stopped);
        ASSERT_EQ(stop.status.dwWin32ExitCode, 0u);
        ASSERT_EQ(stop.processExitCode, 0);
        stops.push_back(stop.milliseconds);
        ASSERT_EQ(CountServiceProcesses(), 0);
        ASSERT_FALSE(PipeExists());
    }
    Measure("20 start/stop rounds, whole", NowMs() - whole);
    Measure("median StartService to a served request", Median(accepts));
    Measure("median stop", Median(stops));
    EXPECT_FALSE(test::PathExists(test::SERVICE_LOG_ROOT));
}

// Any user can connect and send nothing: the stop must not wait for the
// client's 30 s header limit (the service manager gives up on a stop handler
// after about 30 s, error 1053).
TEST_F(EndToEnd, StopWithASilentClientConnectedEndsAtOnce)
{
    InstallAndStart(L"-dlog", true);
    HANDLE silent = ConnectControlPipe(REQUEST_TIMEOUT_MS);
    ASSERT_NE(silent, INVALID_HANDLE_VALUE);

    StopResult stop = StopAndWait(service_.Get(), 60000);
    Measure("stop with a silent client connected", stop.milliseconds);
    ASSERT_TRUE(stop.stopped);
    EXPECT_TRUE(ControlAnswered(stop.controlError)) << ErrorText(stop.controlError);
    EXPECT_EQ(stop.status.dwWin32ExitCode, 0u);
    EXPECT_EQ(stop.processExitCode, 0);
    EXPECT_LT(stop.milliseconds, 10000.0);

    // Dropped without a reply: its end is disconnected.
    std::string rest;
    EXPECT_TRUE(Transact(silent, "", &rest, 2000));
    EXPECT_EQ(rest, "");
    CloseHandle(silent);

    std::vector<std::wstring> log = test::ParseLogMessages(test::ReadFileBytes(test::SERVICE_LOG_FILE));
    EXPECT_TRUE(InOrder(log, {L"*** Stop Service: Start ***", L"*** Stop Service: End ***"}));
    EXPECT_EQ(std::count(log.begin(), log.end(), L"PIPE Timeout."), 0);
}

// A program that takes the pipe's name before the service (at a restart or an
// upgrade) must not pass for it. Windows refuses the service's own instance
// then; Wine lets both listen and hands a client to either. Made certain here:
// the squatter keeps its instance busy until a client holds the service's own,
// so that the next client can reach the squatter alone.
TEST_F(EndToEnd, ClientsSendNothingToAProgramServingThePipeInTheServicesPlace)
{
    HANDLE squatter = CreateNamedPipeW(CONTROL_PIPE_NAME, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE) << ErrorText(GetLastError());
    HANDLE busy = CreateFileW(CONTROL_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    InstallAndStart(L"-dlog", false);
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_TRUE(QueryStatus(service_.Get(), &status));
    HANDLE held = ConnectControlPipe(START_TIMEOUT_MS);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ULONG heldServer = 0;
    EXPECT_TRUE(GetNamedPipeServerProcessId(held, &heldServer));
    EXPECT_EQ(heldServer, status.dwProcessId) << "the held instance is the service's";
    CloseHandle(busy);
    DisconnectNamedPipe(squatter);

    OVERLAPPED connect = {};
    connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(connect.hEvent, nullptr);
    EXPECT_FALSE(ConnectNamedPipe(squatter, &connect));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    std::string output;
    long code = test::RunCaptured(L"\"" + test::ModuleDirectory() + L"\\tobractl.exe\" restart 00-11-22-33-44-55",
                                  20000, &output);
    printf("[ OUTPUT   ] tobractl restart 00-11-22-33-44-55 (exit code %ld): %s", code, output.c_str());
    EXPECT_EQ(code, 11) << output;
    EXPECT_EQ(WaitForSingleObject(connect.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "tobractl never came";
    // What a client wrote stays readable after it closed; a peek at nothing fails.
    DWORD available = 0;
    if (PeekNamedPipe(squatter, nullptr, 0, nullptr, &available, nullptr)) {
        EXPECT_EQ(available, 0u) << "the squatter received the request";
    } else {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    }

    // The library likewise, and it says that nothing was sent.
    DisconnectNamedPipe(squatter);
    ResetEvent(connect.hEvent);
    ConnectNamedPipe(squatter, &connect);
    const unsigned char address[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    TobraOutcome outcome;
    EXPECT_EQ(TobraRestartAdapter(nullptr, address, 5000, &outcome), TOBRA_NOT_THE_SERVICE);
    EXPECT_EQ(outcome.requestSent, 0);
    EXPECT_EQ(outcome.error, 0u) << "another process, not a failed query";
    available = 0;
    if (PeekNamedPipe(squatter, nullptr, 0, nullptr, &available, nullptr)) {
        EXPECT_EQ(available, 0u);
    }

    // With the squatter gone, the service's instance still carries the
    // descriptor of the pipe that the squatter created first (under Wine a
    // pipe's security is the first creator's): no owner, so the clients go on
    // refusing it. Once the service has created its pipe anew, it is reached
    // as before. (On Windows its creation waits until the name is free.)
    CloseHandle(connect.hEvent);
    CloseHandle(squatter);
    CloseHandle(held);
    code = test::RunCaptured(L"\"" + test::ModuleDirectory() + L"\\tobractl.exe\" restart 00-11-22-33-44-55", 20000,
                             &output);
    EXPECT_EQ(code, 11) << output;
    service_ = ScHandle();
    InstallAndStart(L"-dlog", true);
    code = test::RunCaptured(
        L"\"" + test::ModuleDirectory() + L"\\tobractl.exe\" raw 54 42 01 00 02 00 00 00 00 00 00 00", 20000, &output);
    EXPECT_EQ(code, 1) << output;  // "not done": the service's own answer to command 2
}

// Another program that the service manager runs as "Tobra Service" passes the
// process-id check, as a pipe handed on by an ended creator whose id the
// service later gets would; its pipe is not owned by SYSTEM, so it gets
// nothing. (Under Wine any program may give its pipe that owner; the forgery
// fails only on Windows.) The real service is then served as before.
TEST_F(EndToEnd, AProgramRegisteredAsTheServiceGetsNothing)
{
    const std::wstring record = L"C:\\tobra-impostor-record.txt";
    DeleteFileW(record.c_str());
    service_ = InstallService(ImpostorCommandLine(record));
    ASSERT_TRUE(service_) << ErrorText(GetLastError());
    ASSERT_TRUE(StartTobraService(service_.Get())) << ErrorText(GetLastError());
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_TRUE(WaitForState(service_.Get(), SERVICE_RUNNING, START_TIMEOUT_MS, &status));
    HANDLE pipe = ConnectControlPipe(START_TIMEOUT_MS);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    ULONG server = 0;
    EXPECT_TRUE(GetNamedPipeServerProcessId(pipe, &server));
    CloseHandle(pipe);
    EXPECT_EQ(server, status.dwProcessId) << "the process-id check alone would pass";

    std::wstring tobractl = L"\"" + test::ModuleDirectory() + L"\\tobractl.exe\" ";
    std::string output;
    long code = test::RunCaptured(tobractl + L"restart 00-11-22-33-44-55", 20000, &output);
    printf("[ OUTPUT   ] tobractl restart 00-11-22-33-44-55 (exit code %ld): %s", code, output.c_str());
    EXPECT_EQ(code, 11);
    EXPECT_THAT(output, ::testing::HasSubstr("Nothing sent: \\\\.\\pipe\\norva\\Tobra Service is served by another "
                                             "program, not by Tobra Service."));
    const unsigned char address[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    TobraOutcome outcome;
    EXPECT_EQ(TobraRestartAdapterWithReport(nullptr, address, REQUEST_TIMEOUT_MS, &outcome, nullptr),
              TOBRA_NOT_THE_SERVICE);
    EXPECT_EQ(outcome.error, 0u) << "another program, not a failed query";

    StopResult stop = StopAndWait(service_.Get(), STOP_TIMEOUT_MS);
    ASSERT_TRUE(stop.stopped);
    unsigned long connections = 0, bytes = 0;
    std::string written = test::ReadFileBytes(record);
    DeleteFileW(record.c_str());
    ASSERT_EQ(sscanf(written.c_str(), "connections=%lu bytes=%lu", &connections, &bytes), 2) << written;
    printf("[ IMPOSTOR ] %s", written.c_str());
    EXPECT_GE(connections, 3ul) << "the clients reached it";
    EXPECT_EQ(bytes, 0ul);

    service_ = ScHandle();
    InstallAndStart(L"", true);
    EXPECT_EQ(test::RunCaptured(tobractl + L"restart 02-00-5E-7B-0B-A0", REQUEST_TIMEOUT_MS, &output), 7)
        << "no adapter has the address: " << output;
}

ULONG g_claimedServerId = 0;

BOOL WINAPI ClaimServerId(HANDLE, PULONG processId)
{
    *processId = g_claimedServerId;
    return TRUE;
}

// The library keeps the service's process so as not to ask the service
// manager per request. Once that process has ended the manager decides
// again, also for a pipe that names the ended process's id (as one handed on
// by it, or one whose creator got the id afterwards, would); the process the
// manager names next is kept in its turn.
TEST_F(EndToEnd, TheLibraryAsksTheServiceManagerAgainOnceTheServiceProcessHasEnded)
{
    InstallAndStart(L"", true);
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_TRUE(QueryStatus(service_.Get(), &status));
    TobraOutcome outcome;
    for (int request = 0; request < 3; ++request) {
        EXPECT_EQ(TobraRestartAdapter(nullptr, NO_SUCH_ADAPTER, REQUEST_TIMEOUT_MS, &outcome), TOBRA_DONE);
        EXPECT_EQ(outcome.requestSent, 1);
    }
    StopResult stop = StopAndWait(service_.Get(), STOP_TIMEOUT_MS);
    ASSERT_TRUE(stop.stopped);
    ASSERT_EQ(stop.processExitCode, 0) << "the process has ended";

    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                     &attributes.lpSecurityDescriptor, nullptr));
    HANDLE squatter = CreateNamedPipeW(CONTROL_PIPE_NAME, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, &attributes);
    LocalFree(attributes.lpSecurityDescriptor);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE) << ErrorText(GetLastError());
    OVERLAPPED connect = {};
    connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConnectNamedPipe(squatter, &connect);
    {
        g_claimedServerId = status.dwProcessId;
        test::ScopedSwap<decltype(g_tobraClientPlatform.GetNamedPipeServerProcessId)> claim(
            g_tobraClientPlatform.GetNamedPipeServerProcessId, ClaimServerId);
        EXPECT_EQ(TobraRestartAdapter(nullptr, NO_SUCH_ADAPTER, REQUEST_TIMEOUT_MS, &outcome), TOBRA_NOT_THE_SERVICE);
        EXPECT_EQ(outcome.requestSent, 0);
        EXPECT_EQ(outcome.error, 0u) << "the manager answered: the service runs in no process";
    }
    EXPECT_EQ(WaitForSingleObject(connect.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "the client never came";
    DWORD available = 0;
    if (PeekNamedPipe(squatter, nullptr, 0, nullptr, &available, nullptr)) {
        EXPECT_EQ(available, 0u) << "the squatter received the request";
    }
    CloseHandle(connect.hEvent);
    CloseHandle(squatter);

    ASSERT_TRUE(StartTobraService(service_.Get())) << ErrorText(GetLastError());
    ASSERT_TRUE(WaitForState(service_.Get(), SERVICE_RUNNING, START_TIMEOUT_MS, &status));
    HANDLE pipe = ConnectControlPipe(START_TIMEOUT_MS);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    CloseHandle(pipe);
    for (int request = 0; request < 2; ++request) {
        EXPECT_EQ(TobraRestartAdapter(nullptr, NO_SUCH_ADAPTER, REQUEST_TIMEOUT_MS, &outcome), TOBRA_DONE);
        EXPECT_EQ(outcome.requestSent, 1);
    }
}

// tobra_client.dll, loaded and unloaded as a language binding may do, closes
// the service manager's handle and the service's process that it kept. The
// first round is not counted: Wine's RPC keeps a connection to the service
// manager for reuse once one was made.
TEST_F(EndToEnd, UnloadingTheClientDllClosesWhatItKept)
{
    InstallAndStart(L"", true);
    const std::wstring path = test::ModuleDirectory() + L"\\tobra_client.dll";
    DWORD before = 0;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        HMODULE dll = LoadLibraryW(path.c_str());
        ASSERT_NE(dll, nullptr) << ErrorText(GetLastError());
        auto restart = reinterpret_cast<decltype(&TobraRestartAdapter)>(
            reinterpret_cast<void*>(GetProcAddress(dll, "TobraRestartAdapter")));
        ASSERT_NE(restart, nullptr);
        TobraOutcome outcome;
        EXPECT_EQ(restart(nullptr, NO_SUCH_ADAPTER, REQUEST_TIMEOUT_MS, &outcome), TOBRA_DONE);
        DWORD held = test::ProcessHandleCount();
        EXPECT_TRUE(FreeLibrary(dll));
        if (round == 0) {
            before = test::ProcessHandleCount();
            continue;
        }
        EXPECT_GT(held, before) << "the DLL keeps handles between requests";
        EXPECT_LE(test::HandleCountSettledAt(before), before) << "a handle more for each load";
    }
}

}  // namespace
