// Failures of the control pipe's platform calls provoked through its seam: the
// request handler's peek and reply write over a real pipe pair, and the server
// thread's connect event, connect and wait on the service's own pipe name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "fault_support.h"
#include "pipe/control_message.h"
#include "pipe/pipe_server.h"
#include "pipe/request_handler.h"
#include "service/service_window.h"
#include "support/test_support.h"

using namespace faults;
using ::testing::IsEmpty;

namespace {

const WCHAR LOG_FOLDER[] = L"C:\\tobra-fault-tests\\pipe";

// --- Fakes behind the seam -------------------------------------------------------

std::vector<void*> g_buffers;  // every request and reply buffer the handler obtained

LPVOID WINAPI RecordingVirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect)
{
    void* block = ::VirtualAlloc(address, size, type, protect);
    g_buffers.push_back(block);
    return block;
}

bool AllBuffersReleased()
{
    for (void* block : g_buffers) {
        MEMORY_BASIC_INFORMATION info = {};
        if (block == nullptr || VirtualQuery(block, &info, sizeof(info)) == 0 || info.State != MEM_FREE)
            return false;
    }
    return true;
}

DWORD g_peekError = 0;

BOOL WINAPI FailingPeekNamedPipe(HANDLE, LPVOID, DWORD, LPDWORD, LPDWORD available, LPDWORD)
{
    if (available != nullptr)
        *available = 0;
    SetLastError(g_peekError);
    return FALSE;
}

// The reply's write: fails outright, or reports fewer bytes than asked for.
BOOL g_writeResult = FALSE;
DWORD g_writeCount = 0;
std::atomic<int> g_writes{0};

BOOL WINAPI FailingWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    ++g_writes;
    if (written != nullptr)
        *written = g_writeCount;
    if (!g_writeResult)
        SetLastError(ERROR_NO_DATA);
    return g_writeResult;
}

HANDLE WINAPI FailingCreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// ConnectNamedPipe fails at once with g_connectError for the first
// g_connectFailures calls (-1: every call), then is the real one.
DWORD g_connectError = 0;
int g_connectFailures = 0;
std::atomic<int> g_connects{0};

BOOL WINAPI FailingConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped)
{
    int call = ++g_connects;
    if (g_connectFailures < 0 || call <= g_connectFailures) {
        SetLastError(g_connectError);
        return FALSE;
    }
    return ::ConnectNamedPipe(pipe, overlapped);
}

// The wait fails once the connect is pending, as a wait on a broken list would.
std::atomic<int> g_waits{0};

DWORD WINAPI FailingWaitForMultipleObjects(DWORD, const HANDLE*, BOOL, DWORD)
{
    ++g_waits;
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

// --- The request handler ---------------------------------------------------------

class HandlerFaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pair_.Ready());
        g_buffers.clear();
        g_writes = 0;
        g_pipePlatform.VirtualAlloc = RecordingVirtualAlloc;
    }

    // Sends the request and runs the handler once it is all in the pipe.
    int Handle(const std::string& request)
    {
        EXPECT_TRUE(pair_.client.Write(request));
        EXPECT_TRUE(WaitUntil([&] { return pair_.ServerAvailable() >= request.size(); }));
        return HandlePipeRequest(pair_.Server());
    }

    ScopedPipeSeam seam_;
    test::ScopedTestLog log_{LOG_FOLDER};
    PipePair pair_;
};

struct PeekCase {
    const char* name;
    DWORD error;
    int result;
};

class PeekFailure : public HandlerFaultTest, public ::testing::WithParamInterface<PeekCase> {};

TEST_P(PeekFailure, ReadsNothingLogsNothingAndReleasesTheBuffer)
{
    g_pipePlatform.PeekNamedPipe = FailingPeekNamedPipe;
    g_peekError = GetParam().error;
    EXPECT_EQ(Handle(AdapterRequest(ACTION_RESTART)), GetParam().result);
    EXPECT_EQ(pair_.ServerAvailable(), 19u) << "the request stays in the pipe";
    EXPECT_EQ(g_actions.started, 0);
    EXPECT_EQ(g_buffers.size(), 1u);
    EXPECT_TRUE(AllBuffersReleased());
    EXPECT_THAT(log_.Messages(), IsEmpty());
}

// An invalid handle ends the connection; any other failure is polled again,
// until the server's request limit ends it.
INSTANTIATE_TEST_SUITE_P(Errors, PeekFailure,
                         ::testing::Values(PeekCase{"InvalidHandle", ERROR_INVALID_HANDLE, -1},
                                           PeekCase{"OutOfQuota", ERROR_NOT_ENOUGH_QUOTA, 0},
                                           PeekCase{"AccessDenied", ERROR_ACCESS_DENIED, 0}),
                         [](const ::testing::TestParamInfo<PeekCase>& info) { return std::string(info.param.name); });

struct WriteCase {
    const char* name;
    BOOL result;
    DWORD written;
};

class ReplyWriteFailure : public HandlerFaultTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ReplyWriteFailure, DropsTheClientAfterTheActionWithoutWaitingForAFlush)
{
    g_pipePlatform.WriteFile = FailingWriteFile;
    g_writeResult = GetParam().result;
    g_writeCount = GetParam().written;
    DWORD start = GetTickCount();
    EXPECT_EQ(Handle(AdapterRequest(ACTION_RESTART)), -1);
    // The client is not reading: a flush would have held the handler for its bound.
    EXPECT_LT(GetTickCount() - start, g_pipePlatform.replyFlushTimeoutMs);
    EXPECT_EQ(g_writes, 1);
    EXPECT_EQ(g_actions.finished, 1) << "the action was carried out before the reply";
    EXPECT_EQ(pair_.client.Available(), 0u);
    EXPECT_EQ(g_buffers.size(), 2u);
    EXPECT_TRUE(AllBuffersReleased());
    // Only the request lines: a failed write is not logged.
    EXPECT_EQ(log_.Messages().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Writes, ReplyWriteFailure,
                         ::testing::Values(WriteCase{"Fails", FALSE, 0}, WriteCase{"Short", TRUE, 6}),
                         [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

// --- The server thread -------------------------------------------------------------

class ServerFaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_connects = 0;
        g_waits = 0;
        g_connectFailures = 0;
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(stop_, nullptr);
        g_pipeStopEvent = stop_;
        handlesBefore_ = HandleCount();
    }

    void TearDown() override
    {
        if (thread_ != nullptr) {
            SetEvent(stop_);
            if (!Signalled(thread_, 5000)) {
                ADD_FAILURE() << "the server thread did not end";
                g_pipePlatform.ConnectNamedPipe = ::ConnectNamedPipe;  // let it find the stop
                Signalled(thread_, 5000);
            }
            CloseHandle(thread_);
        }
        g_pipeStopEvent = nullptr;
        CloseHandle(stop_);
    }

    void Start()
    {
        thread_ = CreateThread(nullptr, PIPE_THREAD_STACK_SIZE, PipeServerThread, nullptr, 0, nullptr);
        ASSERT_NE(thread_, nullptr);
    }

    // Ended with exit code 0, the pipe closed and every handle it opened released.
    void ExpectEndedCleanly(DWORD timeoutMs)
    {
        ASSERT_TRUE(Signalled(thread_, timeoutMs)) << "the server thread did not end";
        DWORD code = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeThread(thread_, &code));
        EXPECT_EQ(code, 0u);
        CloseHandle(thread_);
        thread_ = nullptr;
        EXPECT_TRUE(WaitUntil([] { return OpenControlPipe() == ERROR_FILE_NOT_FOUND; })) << "the pipe is still there";
        EXPECT_EQ(HandleCountSettledAt(handlesBefore_), handlesBefore_);
    }

    ScopedPipeSeam seam_;
    test::ScopedTestLog log_{LOG_FOLDER};
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD handlesBefore_ = 0;
};

TEST_F(ServerFaultTest, MissingConnectEventEndsTheThreadWithoutAPipe)
{
    g_pipePlatform.ConnectNamedPipe = FailingConnectNamedPipe;  // counting only
    g_pipePlatform.CreateEventW = FailingCreateEventW;
    Start();
    ExpectEndedCleanly(2000);
    EXPECT_EQ(g_connects, 0);
    EXPECT_THAT(log_.Messages(), ::testing::ElementsAre(L"Could not create the connect event (error 8)"));
}

TEST_F(ServerFaultTest, FailedWaitEndsTheThreadAndCancelsThePendingConnect)
{
    g_pipePlatform.ConnectNamedPipe = FailingConnectNamedPipe;  // counting only
    g_pipePlatform.WaitForMultipleObjects = FailingWaitForMultipleObjects;
    Start();
    ExpectEndedCleanly(2000);
    EXPECT_EQ(g_connects, 1);
    EXPECT_EQ(g_waits, 1);
    EXPECT_THAT(log_.Messages(), IsEmpty());
}

// A connect that fails at once: the result is not examined, so the server waits
// for a connection that cannot come; a stop still ends it at once.
TEST_F(ServerFaultTest, ConnectThatFailsLeavesTheServerStoppable)
{
    g_pipePlatform.ConnectNamedPipe = FailingConnectNamedPipe;
    g_connectError = ERROR_NOT_ENOUGH_MEMORY;
    g_connectFailures = -1;
    Start();
    ASSERT_TRUE(WaitUntil([] { return g_connects.load() >= 1; }));
    EXPECT_FALSE(Signalled(thread_, 100));
    EXPECT_EQ(g_connects, 1) << "the server does not spin on the failure";
    SetEvent(stop_);
    ExpectEndedCleanly(2000);
}

// A client that opened and closed the pipe before the connect: the server
// disconnects and listens anew. Should the connect report it again and again,
// the server pauses between tries instead of spinning, and still sees a stop.
TEST_F(ServerFaultTest, ConnectThatKeepsReportingAGoneClientNeitherSpinsNorHoldsAStop)
{
    g_pipePlatform.ConnectNamedPipe = FailingConnectNamedPipe;
    g_connectError = ERROR_NO_DATA;
    g_connectFailures = -1;
    DWORD start = GetTickCount();
    Start();
    ASSERT_TRUE(WaitUntil([] { return g_connects.load() >= 10; }));
    Sleep(200);
    int connects = g_connects;
    DWORD elapsed = GetTickCount() - start;
    EXPECT_LE(connects, static_cast<int>(elapsed) + 20) << "at most about one connect a millisecond";
    SetEvent(stop_);
    ExpectEndedCleanly(500);
}

TEST_F(ServerFaultTest, ConnectThatReportedAGoneClientOnceServesTheNext)
{
    g_pipePlatform.ConnectNamedPipe = FailingConnectNamedPipe;
    g_connectError = ERROR_NO_DATA;
    g_connectFailures = 1;
    Start();
    // Only once the second, real connect is made: a client that came earlier
    // would be the one the server takes for gone and disconnects.
    ASSERT_TRUE(WaitUntil([] { return g_connects.load() >= 2; }));
    ASSERT_TRUE(ControlPipeListening());
    Client client;
    ASSERT_EQ(client.Open(CONTROL_PIPE_NAME), 0u);
    ASSERT_TRUE(client.Write(AdapterRequest(ACTION_DISABLE)));
    EXPECT_EQ(Hex(ReadReply(client, 5000)), Hex(Reply(COMMAND_ADAPTER, STATUS_DONE)));
    client.Close();
    EXPECT_EQ(g_actions.finished, 1);
    SetEvent(stop_);
    ExpectEndedCleanly(2000);
}

}  // namespace
