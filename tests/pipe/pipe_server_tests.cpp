// The pipe server thread on the service's real pipe name, with real clients.
// Time limits come through the seam: a short limit on the real clock, or the
// production limit on a clock the test moves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <string>
#include <vector>

#include "event/event_log.h"
#include "log/log.h"
#include "pipe/access_grant.h"
#include "pipe/control_message.h"
#include "pipe/pipe_server.h"
#include "pipe_test_support.h"
#include "service/service_main.h"
#include "service/service_policy.h"
#include "service/service_window.h"
#include "support/test_support.h"

using namespace pipetest;
using namespace wire;
using test::CountMessages;
using test::WaitUntil;
using ::testing::IsEmpty;

namespace {

const WCHAR LOG_FOLDER[] = L"C:\\tobra-pipe-tests";
const std::wstring PIPE_NAME = CONTROL_PIPE_NAME;
const WCHAR TIMEOUT_LINE[] = L"PIPE Timeout.";

// --- Fakes behind the seam ---------------------------------------------------

std::atomic<DWORD> g_tick{0};
std::atomic<unsigned> g_tickCalls{0};

DWORD WINAPI FakeGetTickCount()
{
    ++g_tickCalls;
    return g_tick.load();
}

// Waits until the server has looked at the clock `polls` more times.
bool WaitForPolls(unsigned polls)
{
    unsigned start = g_tickCalls.load();
    return WaitUntil([&] { return g_tickCalls.load() >= start + polls; });
}

struct PipeArguments {
    std::wstring name;
    DWORD openMode, pipeMode, maxInstances, outBufferSize, inBufferSize, defaultTimeout;
    LPSECURITY_ATTRIBUTES attributes;
    int calls;
};
PipeArguments g_pipeArguments;

HANDLE WINAPI RecordingCreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                        DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                                        LPSECURITY_ATTRIBUTES attributes)
{
    g_pipeArguments = {name,           openMode,      pipeMode,
                       maxInstances,   outBufferSize, inBufferSize,
                       defaultTimeout, attributes,    g_pipeArguments.calls + 1};
    return ::CreateNamedPipeW(name, openMode, pipeMode, maxInstances, outBufferSize, inBufferSize, defaultTimeout,
                              attributes);
}

// What the grant was given and what the pipe's DACL held after the real grant.
struct GrantRecord {
    int calls = 0;
    std::string sid;
    int result = -1;
    int everyoneGrantEntries = -1;      // explicit, read and write (0x0012019B)
    int everyoneOwnRightsEntries = -1;  // any that lets Everyone rewrite the pipe or add an instance
};
GrantRecord g_grant;
// Runs on the server thread after the real grant, before the first connect.
void (*g_afterGrant)() = nullptr;
std::atomic<bool> g_afterGrantDone{false};
Client g_earlyClient;

// Counts Everyone's allowed entries in the DACL that match.
int CountEveryoneEntries(PACL dacl, bool (*matches)(const ACCESS_ALLOWED_ACE*))
{
    if (dacl == nullptr)
        return 0;
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(everyone);
    if (!CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size))
        return -1;
    int count = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)))
            return -1;
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && EqualSid(&ace->SidStart, everyone) && matches(ace))
            ++count;
    }
    return count;
}

int RecordingGrant(PSID sid, HANDLE object)
{
    ++g_grant.calls;
    g_grant.sid.assign(static_cast<const char*>(sid), GetLengthSid(sid));
    g_grant.result = GrantFullAccess(sid, object);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) == ERROR_SUCCESS) {
        g_grant.everyoneGrantEntries = CountEveryoneEntries(
            dacl, [](const ACCESS_ALLOWED_ACE* ace) { return ace->Header.AceFlags == 0 && ace->Mask == 0x0012019B; });
        g_grant.everyoneOwnRightsEntries = CountEveryoneEntries(dacl, [](const ACCESS_ALLOWED_ACE* ace) {
            return (ace->Mask & (WRITE_DAC | WRITE_OWNER | FILE_CREATE_PIPE_INSTANCE)) != 0;
        });
        LocalFree(descriptor);
    }
    if (g_afterGrant != nullptr)
        g_afterGrant();
    g_afterGrantDone = true;
    return g_grant.result;
}

// The owner's SID as text, as a client reads it on its own handle.
std::string OwnerOf(HANDLE object)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return "unreadable";
    std::string text = "none";
    LPSTR sid = nullptr;
    if (owner != nullptr && ConvertSidToStringSidA(owner, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    LocalFree(descriptor);
    return text;
}

std::atomic<int> g_aclWrites{0};

DWORD WINAPI CountingSetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID owner,
                                     PSID group, PACL dacl, PACL sacl)
{
    ++g_aclWrites;
    return ::SetSecurityInfo(handle, type, information, owner, group, dacl, sacl);
}

PSECURITY_DESCRIPTOR FailingBuildPipeSecurity(const WCHAR*)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

HANDLE WINAPI FailingCreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// ConnectNamedPipe, counted; it fails at once with g_connectError for the
// first g_connectFailures calls (-1: every call).
DWORD g_connectError = 0;
int g_connectFailures = 0;
std::atomic<int> g_connects{0};

BOOL WINAPI CountingConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped)
{
    int call = ++g_connects;
    if (g_connectFailures < 0 || call <= g_connectFailures) {
        SetLastError(g_connectError);
        return FALSE;
    }
    return ::ConnectNamedPipe(pipe, overlapped);
}

int FailingGrant(PSID, HANDLE)
{
    ++g_grant.calls;
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// The server's zero-byte reads, counted; a row may have them succeed at once,
// fail at once, or pend and then fail, with g_zeroReadError. Reads of a size
// (the handler's) and every other record go to the real calls.
enum class ZeroRead { Real, SucceedAtOnce, FailAtOnce, PendThenFail };
ZeroRead g_zeroReadMode = ZeroRead::Real;
DWORD g_zeroReadError = 0;
std::atomic<int> g_zeroReads{0};
std::atomic<int> g_zeroReadsPending{0};
std::atomic<int> g_cancels{0};
std::atomic<int> g_cancelWaits{0};
std::atomic<OVERLAPPED*> g_fakedRead{nullptr};

BOOL WINAPI SteeredReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (size != 0)
        return ::ReadFile(file, buffer, size, read, overlapped);
    ++g_zeroReads;
    switch (g_zeroReadMode) {
    case ZeroRead::SucceedAtOnce:
        return TRUE;
    case ZeroRead::FailAtOnce:
        SetLastError(g_zeroReadError);
        return FALSE;
    case ZeroRead::PendThenFail:
        g_fakedRead = overlapped;
        SetEvent(overlapped->hEvent);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    case ZeroRead::Real:
        break;
    }
    BOOL started = ::ReadFile(file, buffer, size, read, overlapped);
    DWORD error = GetLastError();
    if (!started && error == ERROR_IO_PENDING)
        ++g_zeroReadsPending;
    SetLastError(error);
    return started;
}

BOOL WINAPI SteeredGetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait)
{
    if (wait)
        ++g_cancelWaits;
    OVERLAPPED* faked = overlapped;
    if (g_fakedRead.compare_exchange_strong(faked, nullptr)) {
        *transferred = 0;
        SetLastError(g_zeroReadError);
        return FALSE;
    }
    return ::GetOverlappedResult(file, overlapped, transferred, wait);
}

BOOL WINAPI CountingCancelIoEx(HANDLE file, LPOVERLAPPED overlapped)
{
    ++g_cancels;
    return ::CancelIoEx(file, overlapped);
}

// Until the server sleeps on a real zero-byte read.
bool WaitForPendingRead()
{
    return WaitUntil([] { return g_zeroReadsPending.load() > 0; });
}

// CreateEventW that fails from its g_eventFailsFrom-th call on.
std::atomic<int> g_events{0};
int g_eventFailsFrom = 0;

HANDLE WINAPI LaterFailingCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual, BOOL initial, LPCWSTR name)
{
    if (++g_events >= g_eventFailsFrom) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return ::CreateEventW(attributes, manual, initial, name);
}

// --- The fixture ---------------------------------------------------------------

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_tick = 0x10000;
        g_tickCalls = 0;
        g_pipeArguments = PipeArguments();
        g_grant = GrantRecord();
        g_afterGrant = nullptr;
        g_afterGrantDone = false;
        g_connects = 0;
        g_connectFailures = 0;
        g_aclWrites = 0;
        g_serviceFailure = 0;
        g_serviceFailureReason = nullptr;
        g_pipePlatform.GrantFullAccess = RecordingGrant;
        g_zeroReadMode = ZeroRead::Real;
        g_zeroReadError = 0;
        g_zeroReads = 0;
        g_zeroReadsPending = 0;
        g_cancels = 0;
        g_cancelWaits = 0;
        g_fakedRead = nullptr;
        g_events = 0;
        g_pipePlatform.ReadFile = SteeredReadFile;
        g_pipePlatform.GetOverlappedResult = SteeredGetOverlappedResult;
        g_pipePlatform.CancelIoEx = CountingCancelIoEx;
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(stop_, nullptr);
        g_pipeStopEvent = stop_;
        handlesBefore_ = test::ProcessHandleCount();
    }

    void TearDown() override
    {
        if (thread_ != nullptr) {
            SetEvent(stop_);
            if (!Ended(5000)) {
                ADD_FAILURE() << "the server thread did not end";
                g_pipePlatform.ConnectNamedPipe = ::ConnectNamedPipe;  // let it find the stop
                Ended(5000);
            }
            DWORD code = STILL_ACTIVE;
            GetExitCodeThread(thread_, &code);
            EXPECT_EQ(code, 0u);
            CloseHandle(thread_);
        }
        g_earlyClient.Close();
        g_pipeStopEvent = nullptr;
        CloseHandle(stop_);
    }

    // As the service window starts it: a 16 KiB stack.
    void Start()
    {
        thread_ = CreateThread(nullptr, 16384, PipeServerThread, nullptr, 0, nullptr);
        ASSERT_NE(thread_, nullptr);
    }

    // Started and waiting for a client (the one instance is free).
    void StartListening()
    {
        Start();
        ASSERT_TRUE(WaitUntil([] { return WaitNamedPipeW(CONTROL_PIPE_NAME, 1) != FALSE; }));
    }

    bool Ended(DWORD timeoutMs) { return WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0; }

    // Ended with exit code 0, the pipe closed and every handle it opened released.
    void ExpectEndedCleanly(DWORD timeoutMs)
    {
        ASSERT_TRUE(Ended(timeoutMs)) << "the server thread did not end";
        DWORD code = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeThread(thread_, &code));
        EXPECT_EQ(code, 0u);
        CloseHandle(thread_);
        thread_ = nullptr;
        EXPECT_TRUE(WaitUntil([] {
            Client late;
            return late.Open(PIPE_NAME) == ERROR_FILE_NOT_FOUND;
        })) << "the pipe is still there";
        EXPECT_EQ(test::HandleCountSettledAt(handlesBefore_), handlesBefore_);
    }

    // Sends a request on a fresh client and reads the reply (empty when none).
    std::string Serve(Client& client, const std::string& request)
    {
        EXPECT_EQ(client.OpenWhenFree(PIPE_NAME), 0u);
        EXPECT_TRUE(client.Write(request));
        DWORD error = 0;
        return client.ReadAll(12, 5000, &error);
    }

    // After the server has dealt with a client, the client finds its end gone.
    static bool Disconnected(Client& client)
    {
        return WaitUntil([&] { return !client.Connected(); });
    }

    ScopedPipePlatform platform_;
    test::ScopedTestLog log_{LOG_FOLDER};
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD handlesBefore_ = 0;
};

// --- Serving ---------------------------------------------------------------------

TEST_F(ServerTest, ServesAClientDisconnectsItAndServesTheNext)
{
    Start();
    Client first;
    EXPECT_EQ(Hex(Serve(first, AdapterRequest(ACTION_RESTART))), Hex(Reply(1, 1)));
    EXPECT_TRUE(Disconnected(first));

    Client second;
    EXPECT_EQ(Hex(Serve(second, AdapterRequest(ACTION_DISABLE))), Hex(Reply(1, 1)));
    EXPECT_TRUE(Disconnected(second));
    EXPECT_EQ(g_adapterCalls.restarts, 1);
    EXPECT_EQ(g_adapterCalls.disables, 1);
    EXPECT_EQ(CountMessages(log_.Messages(), L"*** Recv pipe message ***"), 2);
}

TEST_F(ServerTest, SecondClientIsBusyWhileOneIsConnected)
{
    StartListening();
    Client first;
    ASSERT_EQ(first.Open(PIPE_NAME), 0u);
    Client second;
    EXPECT_EQ(second.Open(PIPE_NAME), static_cast<DWORD>(ERROR_PIPE_BUSY));

    ASSERT_TRUE(first.Write(Header(CONTROL_MESSAGE_MAGIC, 1, 2, 0)));
    DWORD error = 0;
    EXPECT_EQ(Hex(first.ReadAll(12, 5000, &error)), Hex(Reply(2, 0)));
    EXPECT_EQ(Hex(Serve(second, Header(CONTROL_MESSAGE_MAGIC, 1, 3, 0))), Hex(Reply(3, 0)));
}

struct RefusedCase {
    const char* name;
    std::string request;
};

class RefusedRequest : public ServerTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedRequest, IsDroppedAtOnceWithoutAReply)
{
    Start();
    Client client;
    EXPECT_EQ(Serve(client, GetParam().request), "");
    EXPECT_TRUE(Disconnected(client));
    EXPECT_THAT(log_.Messages(), ::testing::Not(::testing::Contains(TIMEOUT_LINE)));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RefusedRequest,
    ::testing::Values(RefusedCase{"wrong magic", Header(0x5442, 1, 1, 7) + Bytes({0, 1, 2, 3, 4, 5, 1})},
                      RefusedCase{"close command", Header(CONTROL_MESSAGE_MAGIC, 1, COMMAND_CLOSE, 0)}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.index == 0 ? "WrongMagic" : "Close"; });

// --- The request time limit ---------------------------------------------------

TEST_F(ServerTest, SilentClientIsDroppedAfterTheLimitAndTheNextIsServed)
{
    g_pipePlatform.requestTimeoutMs = 200;
    StartListening();
    Client silent;
    DWORD start = GetTickCount();
    ASSERT_EQ(silent.Open(PIPE_NAME), 0u);
    EXPECT_TRUE(Disconnected(silent));
    EXPECT_GE(GetTickCount() - start, 190u);
    EXPECT_EQ(CountMessages(log_.Messages(), TIMEOUT_LINE), 1);
    // Asleep on the read for the whole limit, not polling; the read ended before the disconnect.
    EXPECT_LE(g_zeroReads, 2);
    EXPECT_EQ(g_cancels, g_zeroReads);
    EXPECT_EQ(g_cancelWaits, g_zeroReads);

    Client next;
    EXPECT_EQ(Hex(Serve(next, AdapterRequest(ACTION_RESTART))), Hex(Reply(1, 1)));
}

// Production limit: a client that has gone is dropped without waiting for it.
TEST_F(ServerTest, ClientThatClosedWithoutSendingIsDroppedAtOnce)
{
    Start();
    // Once a client has been served, the server listens only from its connect
    // call on, so the next client is seen connecting (not gone before the call).
    Client first;
    EXPECT_EQ(Hex(Serve(first, Header(CONTROL_MESSAGE_MAGIC, 1, 2, 0))), Hex(Reply(2, 0)));
    Client gone;
    ASSERT_EQ(gone.OpenWhenFree(PIPE_NAME), 0u);
    DWORD start = GetTickCount();
    gone.Close();
    Client waiting;
    EXPECT_EQ(Hex(Serve(waiting, Header(CONTROL_MESSAGE_MAGIC, 1, 2, 0))), Hex(Reply(2, 0)));
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(CountMessages(log_.Messages(), TIMEOUT_LINE), 0);
}

TEST_F(ServerTest, ClientThatClosedPartWayThroughTheHeaderIsDroppedAtOnce)
{
    StartListening();
    const std::string request = Header(CONTROL_MESSAGE_MAGIC, 1, 2, 0);
    for (size_t sent : {size_t{1}, size_t{5}, size_t{11}}) {
        SCOPED_TRACE(sent);
        Client partial;
        ASSERT_EQ(partial.OpenWhenFree(PIPE_NAME), 0u);
        ASSERT_TRUE(partial.Write(request.substr(0, sent)));
        Sleep(20);  // the server is polling the partial header
        DWORD start = GetTickCount();
        partial.Close();
        Client next;
        EXPECT_EQ(Hex(Serve(next, Header(CONTROL_MESSAGE_MAGIC, 1, 3, 0))), Hex(Reply(3, 0)));
        EXPECT_LT(GetTickCount() - start, 5000u) << "the next client waited for the gone one's limit";
        EXPECT_TRUE(Disconnected(next));
    }
    std::vector<std::wstring> messages = log_.Messages();
    EXPECT_EQ(CountMessages(messages, TIMEOUT_LINE), 0);
    EXPECT_EQ(CountMessages(messages, L"*** Recv pipe message ***"), 3);
}

TEST_F(ServerTest, StopWithAGoneClientConnectedIsNotHeldByIt)
{
    g_pipePlatform.GetTickCount = FakeGetTickCount;  // the clock stands still: only the drop can end the client
    StartListening();
    Client gone;
    ASSERT_EQ(gone.Open(PIPE_NAME), 0u);
    ASSERT_TRUE(gone.Write(Bytes({0x54, 0x42})));
    ASSERT_TRUE(WaitForPolls(3));
    SetEvent(stop_);
    gone.Close();
    EXPECT_TRUE(Ended(2000));
    EXPECT_EQ(CountMessages(log_.Messages(), TIMEOUT_LINE), 0);
}

TEST_F(ServerTest, LimitIsThirtySecondsFromTheConnectionAcrossTheTickWrap)
{
    g_pipePlatform.GetTickCount = FakeGetTickCount;
    const DWORD connected = 0xFFFFFFFF - 9999;  // the count wraps 10 s into the connection
    g_tick = connected;
    StartListening();
    Client silent;
    ASSERT_EQ(silent.Open(PIPE_NAME), 0u);
    ASSERT_TRUE(silent.Write(Bytes({0x54, 0x42, 0x01, 0x00, 0x01})));  // partial data does not restart the count
    ASSERT_TRUE(WaitForPolls(3));

    g_tick = connected + 30000;
    ASSERT_TRUE(WaitForPolls(3));
    EXPECT_TRUE(silent.Connected()) << "dropped at exactly 30,000 ms";
    EXPECT_EQ(CountMessages(log_.Messages(), TIMEOUT_LINE), 0);

    g_tick = connected + 30001;
    EXPECT_TRUE(Disconnected(silent));
    EXPECT_EQ(CountMessages(log_.Messages(), TIMEOUT_LINE), 1);
    EXPECT_EQ(CountMessages(log_.Messages(), L"*** Recv pipe message ***"), 0);
}

TEST_F(ServerTest, SplitHeaderIsServedWhenItsRestArrivesInTime)
{
    g_pipePlatform.GetTickCount = FakeGetTickCount;
    StartListening();
    Client client;
    ASSERT_EQ(client.Open(PIPE_NAME), 0u);
    std::string request = AdapterRequest(ACTION_RESTART);
    ASSERT_TRUE(client.Write(request.substr(0, 5)));
    ASSERT_TRUE(WaitForPolls(3));
    g_tick = g_tick + 29000;
    ASSERT_TRUE(WaitForPolls(3));
    ASSERT_TRUE(client.Write(request.substr(5)));
    DWORD error = 0;
    EXPECT_EQ(Hex(client.ReadAll(12, 5000, &error)), Hex(Reply(1, 1)));
    EXPECT_EQ(g_adapterCalls.restarts, 1);
    EXPECT_EQ(Hex(g_adapterCalls.lastAddressBytes.substr(0, 7)), "00 11 22 33 44 55 01");
}

// The header's first bytes wake the server; it then looks every millisecond
// until the rest is there.
TEST_F(ServerTest, HeaderInTwoWritesApartIsServedOnceWhole)
{
    StartListening();
    Client client;
    ASSERT_EQ(client.Open(PIPE_NAME), 0u);
    ASSERT_TRUE(WaitForPendingRead());
    std::string request = AdapterRequest(ACTION_RESTART);
    ASSERT_TRUE(client.Write(request.substr(0, 5)));
    Sleep(200);
    EXPECT_EQ(g_adapterCalls.restarts, 0);
    ASSERT_TRUE(client.Write(request.substr(5)));
    DWORD error = 0;
    EXPECT_EQ(Hex(client.ReadAll(12, 5000, &error)), Hex(Reply(1, 1)));
    EXPECT_EQ(g_adapterCalls.restarts, 1);
    EXPECT_EQ(g_cancels, 0) << "a read that completed needs no cancel";
}

// Every outcome of the zero-byte read: a client that has gone is dropped at
// once, without waiting for the limit; anything else leaves the handler to
// decide, polled, and the client is served once it writes.
struct ZeroReadCase {
    const char* name;
    ZeroRead mode;
    DWORD error;
    bool dropped;
};

class ZeroReadOutcome : public ServerTest, public ::testing::WithParamInterface<ZeroReadCase> {};

TEST_P(ZeroReadOutcome, DropsOnlyAClientThatHasGone)
{
    g_zeroReadMode = GetParam().mode;
    g_zeroReadError = GetParam().error;
    StartListening();
    Client client;
    ASSERT_EQ(client.Open(PIPE_NAME), 0u);
    ASSERT_TRUE(WaitUntil([] { return g_zeroReads.load() > 0; }));
    if (GetParam().dropped) {
        EXPECT_TRUE(Disconnected(client));
    } else {
        Sleep(20);
        EXPECT_TRUE(client.Connected());
        ASSERT_TRUE(client.Write(Header(CONTROL_MESSAGE_MAGIC, 1, 2, 0)));
        DWORD error = 0;
        EXPECT_EQ(Hex(client.ReadAll(12, 5000, &error)), Hex(Reply(2, 0)));
    }
    EXPECT_EQ(g_zeroReads, 1) << "polled after the one read, never read again";
    EXPECT_EQ(g_cancels, 0);
    EXPECT_EQ(CountMessages(log_.Messages(), TIMEOUT_LINE), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ZeroReadOutcome,
    ::testing::Values(ZeroReadCase{"SucceedsAtOnce", ZeroRead::SucceedAtOnce, 0, false},
                      ZeroReadCase{"FailsAtOnceBrokenPipe", ZeroRead::FailAtOnce, ERROR_BROKEN_PIPE, true},
                      ZeroReadCase{"FailsAtOnceOtherwise", ZeroRead::FailAtOnce, ERROR_INVALID_FUNCTION, false},
                      ZeroReadCase{"PendsThenBrokenPipe", ZeroRead::PendThenFail, ERROR_BROKEN_PIPE, true},
                      ZeroReadCase{"PendsThenNotConnected", ZeroRead::PendThenFail, ERROR_PIPE_NOT_CONNECTED, true},
                      ZeroReadCase{"PendsThenAborted", ZeroRead::PendThenFail, ERROR_OPERATION_ABORTED, false}),
    test::RowName());

// --- The reply flush bound in the loop ----------------------------------------------

TEST_F(ServerTest, ClientThatNeverReadsItsReplyDoesNotHoldTheServer)
{
    g_pipePlatform.replyFlushTimeoutMs = 150;
    Start();
    Client idle;
    ASSERT_EQ(idle.OpenWhenFree(PIPE_NAME), 0u);
    ASSERT_TRUE(idle.Write(AdapterRequest(ACTION_DISABLE)));
    // Never read: after the bound the server disconnects and the reply goes with it.
    EXPECT_TRUE(Disconnected(idle));
    EXPECT_EQ(idle.Available(), 0u);

    Client next;
    EXPECT_EQ(Hex(Serve(next, AdapterRequest(ACTION_RESTART))), Hex(Reply(1, 1)));
}

// --- Stopping ----------------------------------------------------------------------

TEST_F(ServerTest, StopWhileWaitingEndsTheThreadAtOnce)
{
    StartListening();
    SetEvent(stop_);
    // The pipe is closed: the name is gone and free for a new server.
    ExpectEndedCleanly(2000);
    EXPECT_THAT(log_.Messages(), IsEmpty());
    EXPECT_EQ(g_serviceFailure, 0) << "a stop is no failure";
}

// A request once read runs to its end: a restart is never cut between off and on.
TEST_F(ServerTest, StopDuringARequestLetsItFinishAndAnswer)
{
    StartListening();
    g_adapterCalls.during = [this] {
        SetEvent(stop_);
        Sleep(50);
    };
    Client client;
    EXPECT_EQ(Hex(Serve(client, AdapterRequest(ACTION_RESTART))), Hex(Reply(1, 1)));
    EXPECT_EQ(g_adapterCalls.restarts, 1);
    EXPECT_TRUE(Ended(2000));
}

// Any user can connect and stay silent, or send part of a header; that must
// not hold a stop for the request time limit (the service manager gives up on
// a stop after about 30 s).
class StopWithAClientOwingItsHeader : public ServerTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(StopWithAClientOwingItsHeader, EndsTheThreadAtOnceWithoutAReply)
{
    g_pipePlatform.GetTickCount = FakeGetTickCount;  // the clock stands still: the limit cannot end it
    StartListening();
    Client client;
    ASSERT_EQ(client.Open(PIPE_NAME), 0u);
    ASSERT_TRUE(client.Write(AdapterRequest(ACTION_RESTART).substr(0, GetParam())));
    // A silent client leaves the server asleep on its read; a partial header has it polling.
    if (GetParam() == 0)
        ASSERT_TRUE(WaitForPendingRead());
    else
        ASSERT_TRUE(WaitForPolls(3));
    SetEvent(stop_);
    EXPECT_TRUE(Ended(1000));
    // The read is cancelled and waited for before the disconnect.
    EXPECT_EQ(g_cancels, GetParam() == 0 ? 1 : 0);
    EXPECT_EQ(g_cancelWaits, g_cancels);
    DWORD error = 0;
    EXPECT_EQ(client.ReadAll(12, 1000, &error), "");
    EXPECT_EQ(g_adapterCalls.restarts, 0);
    EXPECT_EQ(CountMessages(log_.Messages(), TIMEOUT_LINE), 0);
}

INSTANTIATE_TEST_SUITE_P(BytesSent, StopWithAClientOwingItsHeader, ::testing::Values(size_t{0}, size_t{5}));

// The wait fails when the stop event is missing or the wait itself breaks:
// the thread ends, cancelling its pending connect, and keeps no handle.
DWORD WINAPI FailingWaitForMultipleObjects(DWORD, const HANDLE*, BOOL, DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

class WaitFailure : public ServerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WaitFailure, EndsTheThreadAndCancelsThePendingConnect)
{
    g_pipePlatform.ConnectNamedPipe = CountingConnectNamedPipe;
    if (GetParam())
        g_pipeStopEvent = nullptr;
    else
        g_pipePlatform.WaitForMultipleObjects = FailingWaitForMultipleObjects;
    Start();
    ExpectEndedCleanly(2000);
    EXPECT_EQ(g_connects, 1);
    EXPECT_EQ(g_grant.calls, 1);
    EXPECT_EQ(g_serviceFailure, ERROR_INVALID_HANDLE);
    EXPECT_THAT(log_.Messages(), ::testing::ElementsAre(L"Could not wait for clients of the control pipe (error 6)"));
}

INSTANTIATE_TEST_SUITE_P(Causes, WaitFailure, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "MissingStopEvent" : "FailingWait";
});

TEST_F(ServerTest, MissingConnectEventEndsTheThreadWithoutAPipe)
{
    g_pipePlatform.ConnectNamedPipe = CountingConnectNamedPipe;
    g_pipePlatform.CreateEventW = FailingCreateEventW;
    Start();
    ExpectEndedCleanly(2000);
    EXPECT_EQ(g_connects, 0);
    EXPECT_EQ(g_grant.calls, 0);
    EXPECT_EQ(g_serviceFailure, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_THAT(log_.Messages(), ::testing::ElementsAre(L"Could not create the connect event (error 8)"));
}

TEST_F(ServerTest, MissingReadEventEndsTheThreadWithoutAPipe)
{
    g_pipePlatform.CreateNamedPipeW = RecordingCreateNamedPipeW;
    g_pipePlatform.CreateEventW = LaterFailingCreateEventW;
    g_eventFailsFrom = 2;
    Start();
    ExpectEndedCleanly(2000);
    EXPECT_EQ(g_pipeArguments.calls, 0);
    EXPECT_EQ(g_serviceFailure, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_THAT(log_.Messages(), ::testing::ElementsAre(L"Could not create the read event (error 8)"));
}

TEST_F(ServerTest, MissingDescriptorEndsTheThreadWithoutAPipe)
{
    g_pipePlatform.CreateNamedPipeW = RecordingCreateNamedPipeW;
    g_pipePlatform.BuildPipeSecurity = FailingBuildPipeSecurity;
    Start();
    ExpectEndedCleanly(2000);
    EXPECT_EQ(g_pipeArguments.calls, 0) << "never a pipe with the default descriptor";
    EXPECT_EQ(g_grant.calls, 0);
    EXPECT_EQ(g_serviceFailure, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_THAT(log_.Messages(), ::testing::ElementsAre(L"Could not open the control pipe to clients (error 8)"));
}

// A connect that fails at once with an error no server expects: no connection
// will ever signal the event, so the thread ends and reports it instead of
// waiting for nothing.
TEST_F(ServerTest, ConnectThatFailsEndsTheThreadAndIsReported)
{
    g_pipePlatform.ConnectNamedPipe = CountingConnectNamedPipe;
    g_connectError = ERROR_NOT_ENOUGH_MEMORY;
    g_connectFailures = -1;
    Start();
    ExpectEndedCleanly(2000);
    EXPECT_EQ(g_connects, 1);
    EXPECT_EQ(g_serviceFailure, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_THAT(log_.Messages(), ::testing::ElementsAre(L"Could not listen for clients of the control pipe (error 8)"));
}

// A client that opened and closed the pipe before the connect: the server
// disconnects and listens anew. Should the connect report it again and again,
// the server pauses between tries instead of spinning, and still sees a stop.
TEST_F(ServerTest, ConnectThatKeepsReportingAGoneClientNeitherSpinsNorHoldsAStop)
{
    g_pipePlatform.ConnectNamedPipe = CountingConnectNamedPipe;
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

TEST_F(ServerTest, ConnectThatReportedAGoneClientOnceServesTheNext)
{
    g_pipePlatform.ConnectNamedPipe = CountingConnectNamedPipe;
    g_connectError = ERROR_NO_DATA;
    g_connectFailures = 1;
    Start();
    // Only once the second, real connect is made: a client that came earlier
    // would be the one the server takes for gone and disconnects.
    ASSERT_TRUE(WaitUntil([] { return g_connects.load() >= 2; }));
    Client client;
    EXPECT_EQ(Hex(Serve(client, AdapterRequest(ACTION_DISABLE))), Hex(Reply(1, 1)));
    client.Close();
    EXPECT_EQ(g_adapterCalls.disables, 1);
    SetEvent(stop_);
    ExpectEndedCleanly(2000);
}

// --- The pipe and its creation -------------------------------------------------------

TEST_F(ServerTest, CreatesOneLocalInstanceOwnedBySystemAndOpenToEveryone)
{
    g_pipePlatform.CreateNamedPipeW = RecordingCreateNamedPipeW;
    test::ScopedSwap<decltype(g_accessGrantPlatform.SetSecurityInfo)> writes(g_accessGrantPlatform.SetSecurityInfo,
                                                                             CountingSetSecurityInfo);
    StartListening();
    // Wine lets a client wait for the name as soon as the pipe exists, before the grant has run.
    ASSERT_TRUE(WaitUntil([] { return g_afterGrantDone.load(); }));
    EXPECT_EQ(g_pipeArguments.calls, 1);
    EXPECT_EQ(g_pipeArguments.name, L"\\\\.\\pipe\\norva\\Tobra Service");
    EXPECT_EQ(g_pipeArguments.openMode, static_cast<DWORD>(PIPE_ACCESS_DUPLEX | WRITE_DAC |
                                                           FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED));
    // Remote clients are refused; the rest is byte mode, blocking.
    EXPECT_EQ(g_pipeArguments.pipeMode, static_cast<DWORD>(PIPE_REJECT_REMOTE_CLIENTS));
    EXPECT_EQ(g_pipeArguments.maxInstances, 1u);
    EXPECT_EQ(g_pipeArguments.outBufferSize, 65536u);
    EXPECT_EQ(g_pipeArguments.inBufferSize, 65536u);
    EXPECT_EQ(g_pipeArguments.defaultTimeout, 1000u);
    // The whole descriptor at creation: an owner alone would bring the token's default list.
    EXPECT_NE(g_pipeArguments.attributes, nullptr);

    EXPECT_EQ(g_grant.calls, 1);
    EXPECT_EQ(Hex(g_grant.sid), "01 01 00 00 00 00 00 01 00 00 00 00");
    EXPECT_EQ(g_grant.result, 1);
    EXPECT_EQ(g_aclWrites, 0) << "the grant found its entry in the descriptor";
    EXPECT_EQ(g_grant.everyoneGrantEntries, 1);
    EXPECT_EQ(g_grant.everyoneOwnRightsEntries, 0) << "any user could lock the pipe or add an instance";

    // What a client sees: only SYSTEM can have made it.
    Client client;
    ASSERT_EQ(client.Open(PIPE_NAME), 0u);
    EXPECT_EQ(OwnerOf(client.Handle()), "S-1-5-18");
    EXPECT_THAT(test::AccessEntries(client.Handle()),
                ::testing::ElementsAre("0 S-1-5-18 0x1f01ff", "0 S-1-5-32-544 0x1f01ff", "0 S-1-1-0 0x12019b"));
}

// An administrator names who may use the pipe: the pipe gets exactly SYSTEM,
// Administrators and those SIDs, in order, and no entry for Everyone; also
// for the longest list, whose text the server thread builds on the heap.
TEST_F(ServerTest, AllowedClientsGetTheOnlyEntriesBesideSystemAndAdministrators)
{
    const struct {
        const char* name;
        std::vector<std::wstring> sids;
    } rows[] = {
        {"one", {L"S-1-5-32-545"}},
        {"three", {L"S-1-5-32-545", L"S-1-5-32-556", L"S-1-5-21-1-2-3-1105"}},
        {"32 of 15 sub-authorities", test::LongestSids(32)},
    };
    g_pipePlatform.CreateNamedPipeW = RecordingCreateNamedPipeW;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        g_policy = {};
        std::wstring list = test::MultiString(row.sids);
        ASSERT_LE(list.size(), ARRAYSIZE(g_policy.allowedClients));
        CopyMemory(g_policy.allowedClients, list.data(), list.size() * sizeof(WCHAR));
        g_pipeArguments = PipeArguments();
        ResetEvent(stop_);
        StartListening();
        EXPECT_EQ(g_grant.calls, 0) << "no Everyone grant";
        ASSERT_NE(g_pipeArguments.attributes, nullptr);
        std::vector<std::string> wanted = {"0 S-1-5-18 0x1f01ff", "0 S-1-5-32-544 0x1f01ff"};
        for (const std::wstring& sid : row.sids)
            wanted.push_back("0 " + std::string(sid.begin(), sid.end()) + " 0x12019b");
        {
            Client client;
            ASSERT_EQ(client.Open(PIPE_NAME), 0u);
            EXPECT_EQ(OwnerOf(client.Handle()), "S-1-5-18");
            EXPECT_EQ(test::AccessEntries(client.Handle()), wanted);
        }
        SetEvent(stop_);
        ASSERT_TRUE(Ended(5000));
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    g_policy = {};
}

TEST_F(ServerTest, NoOneCanAddAnInstanceBesideTheServers)
{
    StartListening();
    for (DWORD instances : {DWORD{1}, DWORD{PIPE_UNLIMITED_INSTANCES}}) {
        HANDLE squatter =
            CreateNamedPipeW(CONTROL_PIPE_NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, instances, 4096, 4096, 0, nullptr);
        EXPECT_EQ(squatter, INVALID_HANDLE_VALUE);
        if (squatter != INVALID_HANDLE_VALUE)
            CloseHandle(squatter);
    }
    Client client;
    EXPECT_EQ(Hex(Serve(client, AdapterRequest(ACTION_RESTART))), Hex(Reply(1, 1)));
}

// A program that holds the name (Wine, as Windows, refuses an instance beyond
// the holder's limit of 1): the server logs it once, tries again, and serves
// as soon as the name is free, so that the service never runs without a pipe.
TEST_F(ServerTest, NameHeldByAnotherProgramIsTakenOnceFree)
{
    g_pipePlatform.createRetryMs = 20;
    HANDLE other = CreateNamedPipeW(CONTROL_PIPE_NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    test::EventRecorder events;
    Start();
    const std::wstring refused = L"Could not create the control pipe (error 231)";
    ASSERT_TRUE(WaitUntil([&] { return CountMessages(log_.Messages(), refused) == 1; }));
    Sleep(100);  // several tries
    EXPECT_FALSE(Ended(0));
    EXPECT_EQ(CountMessages(log_.Messages(), refused), 1) << "logged once, not at every try";
    std::vector<test::RecordedEvent> held = events.Events();
    ASSERT_EQ(held.size(), 1u) << "one warning until the pipe exists";
    EXPECT_EQ(held[0].id, static_cast<DWORD>(MSG_PIPE_NAME_HELD));
    EXPECT_EQ(held[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(held[0].strings, (std::vector<std::wstring>{CONTROL_PIPE_NAME, L"231"}));
    EXPECT_EQ(g_grant.calls, 0);
    CloseHandle(other);

    Client client;
    EXPECT_EQ(Hex(Serve(client, AdapterRequest(ACTION_RESTART))), Hex(Reply(1, 1)));
    EXPECT_EQ(g_grant.calls, 1);
    EXPECT_EQ(g_serviceFailure, 0);
}

TEST_F(ServerTest, StopWhileTheNameIsHeldEndsTheThreadAtOnce)
{
    HANDLE other = CreateNamedPipeW(CONTROL_PIPE_NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    Start();  // tries again each second
    ASSERT_TRUE(WaitUntil([&] { return !log_.Messages().empty(); }));
    SetEvent(stop_);
    EXPECT_TRUE(Ended(300));
    EXPECT_EQ(g_serviceFailure, 0) << "a stop is no failure";
    CloseHandle(other);
}

// What Windows answers for a name another program holds (FILE_FLAG_FIRST_PIPE_INSTANCE
// gives ERROR_ACCESS_DENIED, the instance limit ERROR_PIPE_BUSY) is retried; any
// other failure ends the thread and is reported. Each is logged once.
DWORD g_createError = 0;
int g_createFailures = 0;
std::atomic<int> g_creates{0};

HANDLE WINAPI FailingCreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                      DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                                      LPSECURITY_ATTRIBUTES attributes)
{
    if (++g_creates <= g_createFailures) {
        SetLastError(g_createError);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateNamedPipeW(name, openMode, pipeMode, maxInstances, outBufferSize, inBufferSize, defaultTimeout,
                              attributes);
}

struct CreateFailureCase {
    DWORD error;
    bool retried;
};

class CreateFailure : public ServerTest, public ::testing::WithParamInterface<CreateFailureCase> {};

TEST_P(CreateFailure, IsLoggedOnceAndRetriedOnlyForANameInUse)
{
    g_createError = GetParam().error;
    g_createFailures = 3;
    g_creates = 0;
    g_pipePlatform.createRetryMs = 10;
    g_pipePlatform.CreateNamedPipeW = FailingCreateNamedPipeW;
    test::EventRecorder events;
    Start();
    if (GetParam().retried) {
        Client client;
        EXPECT_EQ(Hex(Serve(client, AdapterRequest(ACTION_DISABLE))), Hex(Reply(1, 1)));
        EXPECT_EQ(g_creates, 4);
        EXPECT_EQ(g_serviceFailure, 0);
    } else {
        EXPECT_TRUE(Ended(2000));
        EXPECT_EQ(g_creates, 1);
        EXPECT_EQ(g_grant.calls, 0);
        EXPECT_EQ(static_cast<DWORD>(g_serviceFailure), GetParam().error);
    }
    EXPECT_EQ(CountMessages(log_.Messages(),
                            L"Could not create the control pipe (error " + std::to_wstring(GetParam().error) + L")"),
              1);
    // Only a name in use is another program's doing; the rest stops the service.
    EXPECT_EQ(events.Events(MSG_PIPE_NAME_HELD).size(), GetParam().retried ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Errors, CreateFailure,
                         ::testing::Values(CreateFailureCase{ERROR_ACCESS_DENIED, true},
                                           CreateFailureCase{ERROR_PIPE_BUSY, true},
                                           CreateFailureCase{ERROR_INVALID_NAME, false}),
                         [](const ::testing::TestParamInfo<CreateFailureCase>& info) {
                             return "Error" + std::to_string(info.param.error);
                         });

TEST_F(ServerTest, FailedGrantEndsTheThreadWithoutServing)
{
    g_pipePlatform.GrantFullAccess = FailingGrant;
    Start();
    ExpectEndedCleanly(2000);
    EXPECT_EQ(g_grant.calls, 1);
    EXPECT_EQ(g_serviceFailure, ERROR_ACCESS_DENIED);
    EXPECT_THAT(log_.Messages(), ::testing::ElementsAre(L"Could not open the control pipe to clients (error 5)"));
}

// --- Clients that come before the first connect -----------------------------------

TEST_F(ServerTest, ClientThatOpenedBeforeTheFirstConnectIsServed)
{
    g_afterGrant = [] {
        ASSERT_EQ(g_earlyClient.OpenWhenFree(PIPE_NAME), 0u);
        ASSERT_TRUE(g_earlyClient.Write(AdapterRequest(ACTION_DISABLE)));
    };
    Start();
    DWORD error = 0;
    ASSERT_TRUE(WaitUntil([] { return g_afterGrantDone.load(); }));
    EXPECT_EQ(Hex(g_earlyClient.ReadAll(12, 5000, &error)), Hex(Reply(1, 1)));
    EXPECT_EQ(g_adapterCalls.disables, 1);
}

TEST_F(ServerTest, ClientThatOpenedAndClosedBeforeTheFirstConnectDoesNotStallTheServer)
{
    g_afterGrant = [] {
        // Wine may still be closing the previous test's instance of the name.
        ASSERT_EQ(g_earlyClient.OpenWhenFree(PIPE_NAME), 0u);
        g_earlyClient.Close();
    };
    Start();
    // The next client must not take the one instance before the early one.
    ASSERT_TRUE(WaitUntil([] { return g_afterGrantDone.load(); }));
    Client next;
    EXPECT_EQ(Hex(Serve(next, AdapterRequest(ACTION_RESTART))), Hex(Reply(1, 1)));
    EXPECT_THAT(log_.Messages(), ::testing::Not(::testing::Contains(TIMEOUT_LINE)));
}

}  // namespace
