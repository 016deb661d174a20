// The client library and tobractl against the service's own pipe server
// thread. The pipe gets a name of the test's own and the adapter actions are
// recorded (through the pipe's seam); everything else is the service's code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "adapter/adapter_control.h"
#include "client_test_support.h"
#include "support/test_support.h"
#include "pipe/pipe_platform.h"
#include "pipe/pipe_server.h"
#include "service/service_window.h"
#include "tobra_client.h"
#include "tobra_client_raw.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const unsigned char ADDRESS[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::string ADDRESS_BYTES(reinterpret_cast<const char*>(ADDRESS), 6);
// Short, so that a silent client is dropped quickly.
const DWORD REQUEST_LIMIT_MS = 500;

std::wstring g_pipeName;
std::mutex g_callsLock;
std::vector<std::string> g_restarts;
std::vector<std::string> g_disables;
std::vector<std::string> g_enables;

HANDLE WINAPI CreateTestPipe(LPCWSTR, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outBufferSize,
                             DWORD inBufferSize, DWORD defaultTimeout, LPSECURITY_ATTRIBUTES attributes)
{
    return CreateNamedPipeW(g_pipeName.c_str(), openMode, pipeMode, maxInstances, outBufferSize, inBufferSize,
                            defaultTimeout, attributes);
}

int RecordRestart(const BYTE* hardwareAddress, AdapterOutcome* outcome)
{
    *outcome = {OUTCOME_SWITCHED, S_OK, S_OK, {}};
    std::lock_guard<std::mutex> lock(g_callsLock);
    g_restarts.emplace_back(reinterpret_cast<const char*>(hardwareAddress), 6);
    return 1;
}

int RecordDisable(const BYTE* hardwareAddress, AdapterOutcome* outcome)
{
    *outcome = {OUTCOME_SWITCHED, S_OK, S_OK, {}};
    std::lock_guard<std::mutex> lock(g_callsLock);
    g_disables.emplace_back(reinterpret_cast<const char*>(hardwareAddress), 6);
    return 1;
}

int RecordEnable(const BYTE* hardwareAddress, AdapterOutcome* outcome)
{
    *outcome = {OUTCOME_SWITCHED, S_OK, S_OK, {}};
    std::lock_guard<std::mutex> lock(g_callsLock);
    g_enables.emplace_back(reinterpret_cast<const char*>(hardwareAddress), 6);
    return 1;
}

class RealServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_pipeName = test::UniquePipeName();
        g_restarts.clear();
        g_disables.clear();
        g_enables.clear();
        g_pipePlatform.EnableAdapter = RecordEnable;
        g_pipePlatform.CreateNamedPipeW = CreateTestPipe;
        g_pipePlatform.RestartAdapter = RecordRestart;
        g_pipePlatform.DisableAdapter = RecordDisable;
        g_pipePlatform.requestTimeoutMs = REQUEST_LIMIT_MS;
        g_pipeStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(g_pipeStopEvent, nullptr);
        // As the service window starts it.
        thread_ =
            CreateThread(nullptr, 16 * 1024, PipeServerThread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        ASSERT_NE(thread_, nullptr);
        // The pipe exists once the thread has created it and listens.
        DWORD start = GetTickCount();
        while (!WaitNamedPipeW(g_pipeName.c_str(), 100) && GetTickCount() - start < 5000)
            ASSERT_EQ(WaitForSingleObject(thread_, 1), static_cast<DWORD>(WAIT_TIMEOUT)) << "the server thread ended";
    }

    void TearDown() override
    {
        if (thread_ != nullptr) {
            SetEvent(g_pipeStopEvent);
            EXPECT_EQ(WaitForSingleObject(thread_, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
            DWORD code = STILL_ACTIVE;
            GetExitCodeThread(thread_, &code);
            EXPECT_EQ(code, 0u);
            CloseHandle(thread_);
        }
        CloseHandle(g_pipeStopEvent);
        g_pipeStopEvent = nullptr;
    }

    static TobraResult Raw(const std::string& request, TobraOutcome* outcome, std::string* reply = nullptr)
    {
        unsigned char buffer[256];
        TobraResult result =
            TobraExchangeRaw(g_pipeName.c_str(), request.data(), static_cast<unsigned long>(request.size()), 5000,
                             buffer, sizeof(buffer), outcome);
        if (reply != nullptr)
            reply->assign(reinterpret_cast<char*>(buffer), outcome->replySize);
        return result;
    }

    test::ScopedSwap<PipePlatform> platform_{g_pipePlatform};
    HANDLE thread_ = nullptr;
};

TEST_F(RealServer, RestartAndDisableAreCarriedOutAndAnswered)
{
    TobraOutcome outcome;
    EXPECT_EQ(TobraRestartAdapter(g_pipeName.c_str(), ADDRESS, 5000, &outcome), TOBRA_DONE);
    EXPECT_EQ(outcome.replySize, 12u);
    EXPECT_EQ(TobraDisableAdapter(g_pipeName.c_str(), ADDRESS, 5000, &outcome), TOBRA_DONE);
    std::lock_guard<std::mutex> lock(g_callsLock);
    EXPECT_THAT(g_restarts, ElementsAre(ADDRESS_BYTES));
    EXPECT_THAT(g_disables, ElementsAre(ADDRESS_BYTES));
}

TEST_F(RealServer, EnableIsCarriedOutAndReported)
{
    TobraAdapterReport report;
    EXPECT_EQ(TobraEnableAdapterWithReport(g_pipeName.c_str(), ADDRESS, 5000, nullptr, &report), TOBRA_DONE);
    EXPECT_EQ(report.outcome, static_cast<unsigned long>(TOBRA_OUTCOME_SWITCHED));
    EXPECT_EQ(TobraEnableAdapter(g_pipeName.c_str(), ADDRESS, 5000, nullptr), TOBRA_DONE);
    // Version 1 with action 3: not done, nothing switched.
    TobraOutcome outcome;
    EXPECT_EQ(Raw(std::string("TB\x01\x00\x01\x00\x00\x00\x07\x00\x00\x00\x00\x11\x22\x33\x44\x55\x03", 19), &outcome),
              TOBRA_NOT_DONE);
    std::lock_guard<std::mutex> lock(g_callsLock);
    EXPECT_THAT(g_enables, ElementsAre(ADDRESS_BYTES, ADDRESS_BYTES));
}

TEST_F(RealServer, RawRequestsGetTheServicesAnswers)
{
    TobraOutcome outcome;
    std::string reply;
    EXPECT_EQ(Raw(std::string("TB\x01\x00\x07\x00\x00\x00\x00\x00\x00\x00", 12), &outcome, &reply), TOBRA_NOT_DONE);
    EXPECT_EQ(reply, wire::Reply(7, 0));
    // An adapter request whose data size is not 7 is answered, not carried out.
    EXPECT_EQ(Raw(std::string("TB\x01\x00\x01\x00\x00\x00\x06\x00\x00\x00\x00\x11\x22\x33\x44\x55\x01", 19), &outcome),
              TOBRA_NOT_DONE);
    // The close command, a wrong magic and a newer version get no reply at all.
    EXPECT_EQ(Raw(std::string("TB\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12), &outcome), TOBRA_NO_REPLY);
    EXPECT_TRUE(outcome.requestSent);
    EXPECT_EQ(Raw(std::string("BT\x01\x00\x02\x00\x00\x00\x00\x00\x00\x00", 12), &outcome), TOBRA_NO_REPLY);
    EXPECT_EQ(Raw(std::string("TB\x03\x00\x02\x00\x00\x00\x00\x00\x00\x00", 12), &outcome), TOBRA_NO_REPLY);
    // Version 2 is answered in kind: the header and the outcome, here of nothing asked.
    EXPECT_EQ(Raw(std::string("TB\x02\x00\x02\x00\x00\x00\x00\x00\x00\x00", 12), &outcome, &reply), TOBRA_NOT_DONE);
    EXPECT_EQ(reply, wire::OutcomeReply(2, 0, 0));
    std::lock_guard<std::mutex> lock(g_callsLock);
    EXPECT_THAT(g_restarts, IsEmpty());
}

TEST_F(RealServer, AClientWaitsWhileAnotherHoldsThePipe)
{
    // A client that connects and sends nothing holds the only instance until
    // the server's request limit drops it.
    HANDLE silent =
        CreateFileW(g_pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(silent, INVALID_HANDLE_VALUE);
    DWORD start = GetTickCount();
    TobraOutcome outcome;
    EXPECT_EQ(TobraRestartAdapter(g_pipeName.c_str(), ADDRESS, 5000, &outcome), TOBRA_DONE);
    EXPECT_GE(GetTickCount() - start + 20, REQUEST_LIMIT_MS);
    CloseHandle(silent);
}

TEST_F(RealServer, TobractlRestartsAndShowsTheRawReply)
{
    test::TobractlRun run = test::RunTobractl(L"--pipe \"" + g_pipeName + L"\" restart 00-11-22-33-44-55");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_THAT(run.out, HasSubstr("Restarted 00-11-22-33-44-55 (00-11-22-33-44-55)."));

    run = test::RunTobractl(L"--pipe \"" + g_pipeName +
                            L"\" raw 54 42 01 00 01 00 00 00 07 00 00 00 00 11 22 33 44 55 02");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_THAT(run.out, HasSubstr("Reply (12 bytes): 54 42 01 00 01 01 00 00 00 00 00 00\n"));

    run = test::RunTobractl(L"--pipe \"" + g_pipeName + L"\" raw 54 42 01 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_THAT(run.err, HasSubstr("No reply: the service closed the connection without answering."));

    std::lock_guard<std::mutex> lock(g_callsLock);
    EXPECT_THAT(g_restarts, ElementsAre(ADDRESS_BYTES));
    EXPECT_THAT(g_disables, ElementsAre(ADDRESS_BYTES));
}

}  // namespace
