// The request handler over real pipe pairs: what the client sees on the pipe,
// what the log shows, and which adapter action ran (through the seam).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "event/event_log.h"
#include "log/log.h"
#include "pipe/control_message.h"
#include "pipe/request_handler.h"
#include "service/service_main.h"
#include "service/service_policy.h"
#include "pipe_test_support.h"
#include "support/test_support.h"

using namespace pipetest;
using namespace wire;
using test::CountMessages;
using test::WaitUntil;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const WCHAR LOG_FOLDER[] = L"C:\\tobra-pipe-tests";

// Every buffer the handler obtains, to prove the size and the release on every path.
struct Allocation {
    void* address;
    SIZE_T size;
    DWORD type;
    DWORD protect;
};
std::vector<Allocation> g_allocations;
int g_failAllocationNumber = 0;  // 1-based call that fails; 0: none
std::atomic<int> g_unreleased{0};

LPVOID WINAPI RecordingVirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect)
{
    if (static_cast<int>(g_allocations.size()) + 1 == g_failAllocationNumber) {
        g_allocations.push_back({nullptr, size, type, protect});
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* block = ::VirtualAlloc(address, size, type, protect);
    g_allocations.push_back({block, size, type, protect});
    return block;
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

BOOL WINAPI FailingReadFile(HANDLE, LPVOID, DWORD, LPDWORD read, LPOVERLAPPED)
{
    if (read != nullptr)
        *read = 0;
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
}

bool Released(void* address)
{
    MEMORY_BASIC_INFORMATION info = {};
    return VirtualQuery(address, &info, sizeof(info)) != 0 && info.State == MEM_FREE;
}

std::vector<std::wstring> RequestLines(BYTE command, DWORD dataSize)
{
    wchar_t commandLine[32];
    wchar_t sizeLine[48];
    swprintf(commandLine, 32, L"  Command: %02X", command);
    swprintf(sizeLine, 48, L"  Data Size: %lu", static_cast<unsigned long>(dataSize));
    return {L"*** Recv pipe message ***", L"  Name: \\\\.\\pipe\\norva\\Tobra Service", commandLine, sizeLine,
            test::OwnClientLine()};
}

struct Exchange {
    int result;
    std::string reply;  // what the client could read once the handler returned
    DWORD elapsedMs;    // how long the handler took
};

class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pair_.Ready());
        g_allocations.clear();
        g_failAllocationNumber = 0;
        g_unreleased = 0;
        g_pipePlatform.VirtualAlloc = RecordingVirtualAlloc;
    }

    void TearDown() override
    {
        EXPECT_EQ(g_unreleased, 0) << "a buffer was not released";
        for (const Allocation& allocation : g_allocations) {
            EXPECT_EQ(allocation.size, 65548u);
            EXPECT_EQ(allocation.type, static_cast<DWORD>(MEM_COMMIT | MEM_RESERVE));
            EXPECT_EQ(allocation.protect, static_cast<DWORD>(PAGE_READWRITE));
        }
    }

    // The handler, with a check that every buffer it obtained is gone when it
    // returns (before anything else can take the same addresses).
    static int Handle(HANDLE pipe)
    {
        size_t mark = g_allocations.size();
        int result = HandlePipeRequest(pipe);
        for (size_t i = mark; i < g_allocations.size(); ++i) {
            if (g_allocations[i].address != nullptr && !Released(g_allocations[i].address))
                ++g_unreleased;
        }
        return result;
    }

    // Writes the request, lets the handler run on a thread of its own, and reads
    // what reply it writes, as a prompt client would (or leaves it unread).
    Exchange Send(const std::string& request, bool readReply = true)
    {
        if (!request.empty()) {
            EXPECT_TRUE(pair_.client.Write(request));
        }
        EXPECT_TRUE(WaitUntil([&] { return pair_.ServerAvailable() >= request.size(); }));
        std::atomic<bool> done{false};
        Exchange exchange = {99, std::string(), 0};
        DWORD start = GetTickCount();
        std::thread handler([&] {
            exchange.result = Handle(pair_.Server());
            exchange.elapsedMs = GetTickCount() - start;
            done = true;
        });
        EXPECT_TRUE(WaitUntil([&] { return done || (readReply && pair_.client.Available() >= 12); }));
        if (readReply && pair_.client.Available() > 0) {
            DWORD error = 0;
            exchange.reply = pair_.client.ReadAll(pair_.client.Available(), 1000, &error);
        }
        handler.join();
        return exchange;
    }

    ScopedPipePlatform platform_;
    test::ScopedTestLog log_{LOG_FOLDER};
    test::EventRecorder events_;
    PipePair pair_;
};

// --- The reply rules, request by request ----------------------------------

struct RequestCase {
    const char* name;
    std::string request;
    int result;
    std::string reply;  // empty: none
    int restarts;
    int disables;
    int enables = 0;
};

void PrintTo(const RequestCase& row, std::ostream* os)
{
    *os << row.name;
}

class RequestTable : public HandlerTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestTable, AnswersAndActsAsTheRulesSay)
{
    const RequestCase& row = GetParam();
    Exchange exchange = Send(row.request);

    EXPECT_EQ(exchange.result, row.result);
    EXPECT_EQ(Hex(exchange.reply), Hex(row.reply));
    EXPECT_EQ(g_adapterCalls.restarts, row.restarts);
    EXPECT_EQ(g_adapterCalls.disables, row.disables);
    EXPECT_EQ(g_adapterCalls.enables, row.enables);
    // Every request that was read is logged before anything in it is checked.
    ControlMessageHeader header = DecodeControlMessageHeader(reinterpret_cast<const BYTE*>(row.request.data()));
    EXPECT_EQ(log_.Messages(), RequestLines(header.command, header.dataSize));
    // One request per connection: whatever else came is not the handler's.
    EXPECT_EQ(pair_.client.Available(), 0u);
}

const WORD TB = CONTROL_MESSAGE_MAGIC;
const std::string ADDRESS = Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});

INSTANTIATE_TEST_SUITE_P(
    Rows, RequestTable,
    ::testing::Values(
        RequestCase{"restart", AdapterRequest(ACTION_RESTART), 1, Reply(1, 1), 1, 0},
        RequestCase{"disable", AdapterRequest(ACTION_DISABLE), 1, Reply(1, 1), 0, 1},
        RequestCase{"unnamed command 2", Header(TB, 1, 2, 0), 1, Reply(2, 0), 0, 0},
        RequestCase{"unnamed command 7", Header(TB, 1, 7, 0), 1, Reply(7, 0), 0, 0},
        RequestCase{"command 255", Header(TB, 1, 255, 0), 1, Reply(255, 0), 0, 0},
        RequestCase{"version 0 is answered as version 1", Header(TB, 0, 2, 0), 1, Reply(2, 0), 0, 0},
        RequestCase{"version 0 restart", Header(TB, 0, 1, 7) + ADDRESS + Bytes({1}), 1, Reply(1, 1), 1, 0},
        RequestCase{"version 3 is refused", Header(TB, 3, 2, 0), -1, "", 0, 0},
        // Version 2: acted on as version 1, answered with what the action did.
        RequestCase{"version 2 restart", Header(TB, 2, 1, 7) + ADDRESS + Bytes({1}), 1, OutcomeReply(1, 1, 1), 1, 0},
        RequestCase{"version 2 disable", Header(TB, 2, 1, 7) + ADDRESS + Bytes({2}), 1, OutcomeReply(1, 1, 1), 0, 1},
        RequestCase{"version 2 command 2 asks nothing", Header(TB, 2, 2, 0), 1, OutcomeReply(2, 0, 0), 0, 0},
        RequestCase{"version 2 enable", Header(TB, 2, 1, 7) + ADDRESS + Bytes({3}), 1, OutcomeReply(1, 1, 1), 0, 0, 1},
        RequestCase{"version 2 action 4 asks nothing", Header(TB, 2, 1, 7) + ADDRESS + Bytes({4}), 1,
                    OutcomeReply(1, 0, 0), 0, 0},
        RequestCase{"version 0 enable is unknown", Header(TB, 0, 1, 7) + ADDRESS + Bytes({3}), 1, Reply(1, 0), 0, 0},
        RequestCase{"version 2 data size 6 asks nothing", Header(TB, 2, 1, 6) + ADDRESS + Bytes({1}), 1,
                    OutcomeReply(1, 0, 0), 0, 0},
        RequestCase{"version 2 close", Header(TB, 2, COMMAND_CLOSE, 0), -1, "", 0, 0},
        RequestCase{"version 2 magic bytes swapped", Header(0x5442, 2, 1, 7) + ADDRESS + Bytes({1}), -1, "", 0, 0},
        RequestCase{"version 0xFFFF is refused", Header(TB, 0xFFFF, 1, 7) + ADDRESS + Bytes({1}), -1, "", 0, 0},
        RequestCase{"magic bytes swapped", Header(0x5442, 1, 1, 7) + ADDRESS + Bytes({1}), -1, "", 0, 0},
        RequestCase{"close command", Header(TB, 1, COMMAND_CLOSE, 0), -1, "", 0, 0},
        RequestCase{"close command with adapter data", Header(TB, 1, COMMAND_CLOSE, 7) + ADDRESS + Bytes({1}), -1, "",
                    0, 0},
        RequestCase{"data size 6", Header(TB, 1, 1, 6) + ADDRESS + Bytes({1}), 1, Reply(1, 0), 0, 0},
        RequestCase{"data size 8", Header(TB, 1, 1, 8) + ADDRESS + Bytes({1, 0}), 1, Reply(1, 0), 0, 0},
        RequestCase{"action 0", AdapterRequest(0), 1, Reply(1, 0), 0, 0},
        RequestCase{"action 3", AdapterRequest(3), 1, Reply(1, 0), 0, 0},
        RequestCase{"action 255", AdapterRequest(255), 1, Reply(1, 0), 0, 0},
        RequestCase{"adapter data not yet arrived", Header(TB, 1, 1, 7), 1, Reply(1, 0), 0, 0},
        RequestCase{"status and reserved bytes are ignored", Header(TB, 1, 1, 7, 0xFF, 0xFFFF) + ADDRESS + Bytes({2}),
                    1, Reply(1, 1), 0, 1},
        RequestCase{"extra bytes after a restart", AdapterRequest(ACTION_RESTART) + Bytes({9, 8, 7, 6}), 1, Reply(1, 1),
                    1, 0},
        RequestCase{"largest data size", Header(TB, 1, 2, 0xFFFFFFFF), 1, Reply(2, 0), 0, 0},
        RequestCase{"largest data size on an adapter request", Header(TB, 1, 1, 0xFFFFFFFF) + ADDRESS + Bytes({1}), 1,
                    Reply(1, 0), 0, 0}));

// The outcome and both codes come from the action, as they are.
TEST_F(HandlerTest, VersionTwoReplyCarriesTheActionsOutcomeAndCodes)
{
    g_adapterCalls.outcome = {OUTCOME_FAILED, static_cast<HRESULT>(0x80070005UL), static_cast<HRESULT>(0x800704D5UL), {}};
    Exchange exchange = Send(Header(TB, 2, 1, 7) + ADDRESS + Bytes({1}));
    EXPECT_EQ(exchange.result, 1);
    EXPECT_EQ(Hex(exchange.reply), Hex(OutcomeReply(1, 1, 3, 0x80070005, 0x800704D5)));
    // A version 1 request of the same action hears nothing of it.
    Exchange old = Send(Header(TB, 1, 1, 7) + ADDRESS + Bytes({1}));
    EXPECT_EQ(Hex(old.reply), Hex(Reply(1, 1)));
}

// The policy lists 00-11-22-33-44-66 alone, so ADDRESS is refused.
void AllowOnlyTheOtherAdapter()
{
    g_policy = {};
    g_policy.adaptersRestricted = 1;
    g_policy.adapterCount = 1;
    const BYTE listed[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x66};
    memcpy(g_policy.adapters[0], listed, 6);
}

// An administrator's list of adapters: an action for any other address switches
// nothing, is answered "not done" (refused, in version 2) and logged.
TEST_F(HandlerTest, AdapterNotInThePolicysListIsRefused)
{
    AllowOnlyTheOtherAdapter();
    struct Row {
        std::string request;
        std::string reply;
        int restarts;
    } rows[] = {
        {Header(TB, 1, 1, 7) + ADDRESS + Bytes({1}), Reply(1, 0), 0},
        {Header(TB, 2, 1, 7) + ADDRESS + Bytes({2}), OutcomeReply(1, 0, 4), 0},
        {Header(TB, 1, 1, 7) + Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x66, 1}), Reply(1, 1), 1},
        {Header(TB, 2, 1, 7) + ADDRESS + Bytes({4}), OutcomeReply(1, 0, 0), 1},  // asks nothing: not refused
        {Header(TB, 2, 1, 7) + ADDRESS + Bytes({3}), OutcomeReply(1, 0, 4), 1},
    };
    for (const Row& row : rows) {
        Exchange exchange = Send(row.request);
        EXPECT_EQ(Hex(exchange.reply), Hex(row.reply));
        EXPECT_EQ(g_adapterCalls.restarts + g_adapterCalls.disables + g_adapterCalls.enables, row.restarts);
    }
    g_policy = {};
    std::vector<std::wstring> messages = log_.Messages();
    EXPECT_EQ(CountMessages(messages, L"Adapter 00-11-22-33-44-55 is not allowed by policy"), 3);
    EXPECT_EQ(CountMessages(messages, L"Adapter 00-11-22-33-44-66 is not allowed by policy"), 0);
}

// --- Who asked, and the Event Log --------------------------------------------

std::wstring OwnProcessId()
{
    return std::to_wstring(GetCurrentProcessId());
}

// Each action that ran is one information event: what ran, on which adapter,
// for whom, and how it ended, both codes included.
TEST_F(HandlerTest, ActionThatRanIsOneInformationEventWithWhoAskedAndTheOutcome)
{
    const char GUID_NAME[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
    const std::wstring user = test::OwnAccountName();
    const std::wstring pid = OwnProcessId();
    struct Row {
        std::string request;
        AdapterOutcome outcome;
        std::vector<std::wstring> strings;
    } rows[] = {
        {AdapterRequest(ACTION_RESTART),
         {OUTCOME_FAILED, static_cast<HRESULT>(0x80070005UL), static_cast<HRESULT>(0x800704D5UL), {}},
         {L"Restart", L"00-11-22-33-44-55", L"{4D36E972-E325-11CE-BFC1-08002BE10318}", user, pid, L"the switch failed",
          L"0x80070005", L"0x800704D5"}},
        {Header(TB, 2, 1, 7) + ADDRESS + Bytes({2}),
         {OUTCOME_SWITCHED, S_OK, S_OK, {}},
         {L"Disable", L"00-11-22-33-44-55", L"{4D36E972-E325-11CE-BFC1-08002BE10318}", user, pid, L"switched",
          L"0x00000000", L"0x00000000"}},
        {AdapterRequest(ACTION_RESTART),
         {OUTCOME_NO_ADAPTER, static_cast<HRESULT>(0x80070002UL), static_cast<HRESULT>(0x80070002UL), {}},
         {L"Restart", L"00-11-22-33-44-55", L"no adapter", user, pid, L"no adapter has this address", L"0x80070002",
          L"0x80070002"}},
        {AdapterRequest(ACTION_DISABLE),
         {OUTCOME_LIST_UNAVAILABLE, static_cast<HRESULT>(0x80070002UL), S_OK, {}},
         {L"Disable", L"00-11-22-33-44-55", L"no adapter", user, pid, L"the adapter list could not be read",
          L"0x80070002", L"0x00000000"}},
        {Header(TB, 2, 1, 7) + ADDRESS + Bytes({3}),
         {OUTCOME_SWITCHED, S_OK, S_OK, {}},
         {L"Enable", L"00-11-22-33-44-55", L"{4D36E972-E325-11CE-BFC1-08002BE10318}", user, pid, L"switched",
          L"0x00000000", L"0x00000000"}},
    };
    lstrcpynA(rows[0].outcome.adapterName, GUID_NAME, ADAPTER_NAME_CHARS);
    lstrcpynA(rows[1].outcome.adapterName, GUID_NAME, ADAPTER_NAME_CHARS);
    lstrcpynA(rows[4].outcome.adapterName, GUID_NAME, ADAPTER_NAME_CHARS);
    size_t count = 0;
    for (const Row& row : rows) {
        g_adapterCalls.outcome = row.outcome;
        Send(row.request);
        std::vector<test::RecordedEvent> events = events_.Events();
        ASSERT_EQ(events.size(), ++count);
        EXPECT_EQ(events.back().id, static_cast<DWORD>(MSG_ACTION_RAN));
        EXPECT_EQ(events.back().type, EVENTLOG_INFORMATION_TYPE);
        EXPECT_EQ(events.back().strings, row.strings);
    }
}

// Probes, unknown commands and requests answered "not done" act on nothing.
TEST_F(HandlerTest, RequestsThatActOnNothingMakeNoEvent)
{
    const std::string requests[] = {
        Header(TB, 1, 2, 0),     Header(TB, 2, 2, 0), Header(TB, 1, 7, 0), AdapterRequest(0), AdapterRequest(3),
        Header(TB, 1, 1, 6) + ADDRESS + Bytes({1}), Header(TB, 1, COMMAND_CLOSE, 0),
        Header(0x5442, 1, 1, 7) + ADDRESS + Bytes({1})};
    for (const std::string& request : requests)
        Send(request);
    EXPECT_THAT(events_.Events(), IsEmpty());
    EXPECT_EQ(g_adapterCalls.restarts + g_adapterCalls.disables, 0);
}

// A burst of refusals makes one warning a second; the next says how many it
// stands for, and so does the close of the log for those after it.
TEST_F(HandlerTest, RefusalsAreReportedOnceASecondWithTheCountLeftOut)
{
    AllowOnlyTheOtherAdapter();
    const std::wstring user = test::OwnAccountName();
    test::EventRecorder::tick = 0xFFFFFF00;  // across the tick count's wrap
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(Hex(Send(AdapterRequest(ACTION_RESTART)).reply), Hex(Reply(1, 0)));
    test::EventRecorder::tick += EVENT_REFUSAL_INTERVAL_MS - 1;
    Send(AdapterRequest(ACTION_DISABLE));
    std::vector<test::RecordedEvent> events = events_.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, static_cast<DWORD>(MSG_REQUEST_REFUSED));
    EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(events[0].strings, (std::vector<std::wstring>{user, OwnProcessId(), L"00-11-22-33-44-55"}));

    test::EventRecorder::tick += 1;
    Send(Header(TB, 2, 1, 7) + ADDRESS + Bytes({1}));
    for (int i = 0; i < 3; ++i)
        Send(AdapterRequest(ACTION_RESTART));
    EventLogClose();
    g_policy = {};
    events = events_.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].id, static_cast<DWORD>(MSG_REQUEST_REFUSED_AFTER_OTHERS));
    EXPECT_EQ(events[1].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(events[1].strings, (std::vector<std::wstring>{user, OwnProcessId(), L"00-11-22-33-44-55", L"100"}));
    EXPECT_EQ(events[2].id, static_cast<DWORD>(MSG_REFUSALS_NOT_REPORTED));
    EXPECT_EQ(events[2].strings, std::vector<std::wstring>{L"3"});
    EXPECT_EQ(g_adapterCalls.restarts + g_adapterCalls.disables, 0);
}

BOOL WINAPI RefusedImpersonation(HANDLE)
{
    SetLastError(ERROR_CANNOT_IMPERSONATE);
    return FALSE;
}

// Goes back, so that the test's thread is itself again, and says it could not.
BOOL WINAPI FailingRevertToSelf()
{
    ::RevertToSelf();
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

struct IdentityCase {
    const char* name;
    decltype(&::ImpersonateNamedPipeClient) impersonate;
    decltype(&::RevertToSelf) revert;
    int result;
    bool named;  // the account is known; else "unknown"
    int actions;
};

class ClientIdentity : public HandlerTest, public ::testing::WithParamInterface<IdentityCase> {};

// A client that lends no identity is served, shown as unknown; a service that
// cannot be itself again serves no one and stops.
TEST_P(ClientIdentity, IsReadAfterTheRequestAndNeverKept)
{
    const IdentityCase& row = GetParam();
    g_serviceFailure = 0;  // other suites of this executable leave theirs
    g_pipePlatform.ImpersonateNamedPipeClient = row.impersonate;
    g_pipePlatform.RevertToSelf = row.revert;
    Exchange exchange = Send(AdapterRequest(ACTION_RESTART));
    EXPECT_EQ(exchange.result, row.result);
    EXPECT_EQ(g_adapterCalls.restarts, row.actions);
    const std::wstring user = row.named ? test::OwnAccountName() : L"unknown";
    std::vector<std::wstring> messages = log_.Messages();
    if (row.result == 1) {
        EXPECT_EQ(CountMessages(messages, L"  Client: " + user + L" (process " + OwnProcessId() + L")"), 1);
        ASSERT_EQ(events_.Events().size(), 1u);
        EXPECT_EQ(events_.Events()[0].strings[3], user);
        EXPECT_EQ(g_serviceFailure, 0);
    } else {
        EXPECT_EQ(exchange.reply, "");
        EXPECT_THAT(events_.Events(), IsEmpty());
        EXPECT_EQ(static_cast<DWORD>(g_serviceFailure), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(CountMessages(messages, L"Could not return to the service's own identity (error 5)"), 1);
    }
    g_serviceFailure = 0;
    g_serviceFailureReason = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Rows, ClientIdentity,
                         ::testing::Values(IdentityCase{"Read", ::ImpersonateNamedPipeClient, ::RevertToSelf, 1, true, 1},
                                           IdentityCase{"NotLent", RefusedImpersonation, ::RevertToSelf, 1, false, 1},
                                           IdentityCase{"NoWayBack", ::ImpersonateNamedPipeClient, FailingRevertToSelf,
                                                        -1, true, 0}),
                         test::RowName());

// --- The example, the address in place, and the log ------------------------

TEST(ControlMessageTest, EncodesAndDecodesTheWireExample)
{
    const std::string request = Bytes({0x54, 0x42, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00});
    ControlMessageHeader header = DecodeControlMessageHeader(reinterpret_cast<const BYTE*>(request.data()));
    EXPECT_EQ(header.magic, CONTROL_MESSAGE_MAGIC);
    EXPECT_EQ(header.version, 1);
    EXPECT_EQ(header.command, COMMAND_ADAPTER);
    EXPECT_EQ(header.dataSize, 7u);

    BYTE reply[12];
    EncodeControlMessageHeader(MakeReplyHeader(COMMAND_ADAPTER, STATUS_DONE), reply);
    EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(reply), 12)), "54 42 01 00 01 01 00 00 00 00 00 00");

    // The struct's own memory is the wire image on this little-endian platform.
    const std::string sizes = Header(0x1234, 0x5678, 9, 0xA1B2C3D4, 0xEE, 0xBEEF);
    ControlMessageHeader decoded = DecodeControlMessageHeader(reinterpret_cast<const BYTE*>(sizes.data()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&decoded), 12), sizes);
}

TEST_F(HandlerTest, HandsOverTheAddressInPlaceWithTheActionAfterIt)
{
    Exchange exchange = Send(AdapterRequest(ACTION_RESTART));
    EXPECT_EQ(exchange.result, 1);
    // The address, then the action byte, then the buffer's zero fill.
    EXPECT_EQ(Hex(g_adapterCalls.lastAddressBytes), "00 11 22 33 44 55 01 00");
}

TEST_F(HandlerTest, ExtraBytesAreSeenOnlyPastTheAction)
{
    Exchange exchange = Send(AdapterRequest(ACTION_DISABLE) + Bytes({0xAB, 0xCD}));
    EXPECT_EQ(Hex(exchange.reply), Hex(Reply(1, 1)));
    EXPECT_EQ(Hex(g_adapterCalls.lastAddressBytes), "00 11 22 33 44 55 02 AB");
}

TEST_F(HandlerTest, LargestDataSizeIsLoggedInDecimal)
{
    Send(Header(TB, 1, 7, 0xFFFFFFFF));
    EXPECT_THAT(log_.Messages(), ElementsAre(L"*** Recv pipe message ***", L"  Name: \\\\.\\pipe\\norva\\Tobra Service",
                                             L"  Command: 07", L"  Data Size: 4294967295", test::OwnClientLine()));
}

// --- Fewer than 12 bytes, and clients that go away --------------------------

TEST_F(HandlerTest, ElevenBytesAreLeftInThePipe)
{
    ASSERT_TRUE(pair_.client.Write(Header(TB, 1, 2, 0).substr(0, 11)));
    ASSERT_TRUE(WaitUntil([&] { return pair_.ServerAvailable() == 11; }));
    EXPECT_EQ(Handle(pair_.Server()), 0);
    EXPECT_EQ(Handle(pair_.Server()), 0);
    EXPECT_EQ(pair_.ServerAvailable(), 11u);
    EXPECT_THAT(log_.Messages(), IsEmpty());

    // The twelfth byte completes the header: now it is read and answered.
    Exchange exchange = Send(Bytes({0}));
    EXPECT_EQ(exchange.result, 1);
    EXPECT_EQ(Hex(exchange.reply), Hex(Reply(2, 0)));
}

TEST_F(HandlerTest, NothingWaitingGivesZero)
{
    EXPECT_EQ(Handle(pair_.Server()), 0);
    EXPECT_EQ(g_allocations.size(), 1u);  // each poll obtains and releases the request buffer
    EXPECT_THAT(log_.Messages(), IsEmpty());
}

TEST_F(HandlerTest, ClientGoneWithoutAHeaderIsDroppedAtOnce)
{
    ASSERT_TRUE(pair_.client.Write(Bytes({0x54, 0x42, 0x01})));
    ASSERT_TRUE(WaitUntil([&] { return pair_.ServerAvailable() == 3; }));
    pair_.client.Close();
    EXPECT_EQ(Handle(pair_.Server()), -1);

    PipePair empty;
    ASSERT_TRUE(empty.Ready());
    empty.client.Close();
    EXPECT_EQ(Handle(empty.Server()), -1);
    EXPECT_THAT(log_.Messages(), IsEmpty());
}

TEST_F(HandlerTest, InvalidHandleDropsTheConnection)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(event);  // a handle value that no longer names anything
    EXPECT_EQ(Handle(event), -1);
    EXPECT_EQ(Handle(INVALID_HANDLE_VALUE), -1);
}

TEST_F(HandlerTest, ClientClosedBeforeTheReplyMakesTheWriteFail)
{
    g_adapterCalls.during = [&] { pair_.client.Close(); };
    Exchange exchange = Send(AdapterRequest(ACTION_RESTART));
    EXPECT_EQ(exchange.result, -1);
    EXPECT_EQ(g_adapterCalls.restarts, 1);  // the action was carried out all the same
}

// --- Failures the platform will not give on demand -------------------------

// A failed peek other than an invalid handle is polled again, until the
// server's request limit ends the connection: nothing is read or logged.
class PeekFailure : public HandlerTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(PeekFailure, ReadsNothingAndLogsNothing)
{
    g_pipePlatform.PeekNamedPipe = FailingPeekNamedPipe;
    g_peekError = GetParam();
    ASSERT_TRUE(pair_.client.Write(AdapterRequest(ACTION_RESTART)));
    ASSERT_TRUE(WaitUntil([&] { return pair_.ServerAvailable() == 19; }));
    EXPECT_EQ(Handle(pair_.Server()), 0);
    EXPECT_EQ(pair_.ServerAvailable(), 19u) << "the request stays in the pipe";
    EXPECT_EQ(g_adapterCalls.restarts, 0);
    EXPECT_THAT(log_.Messages(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Errors, PeekFailure,
                         ::testing::Values(DWORD{ERROR_NOT_ENOUGH_QUOTA}, DWORD{ERROR_ACCESS_DENIED}));

struct WriteFailure {
    const char* name;
    BOOL result;
    DWORD written;
};

class ReplyWriteFailure : public HandlerTest, public ::testing::WithParamInterface<WriteFailure> {};

// The client is not reading: a flush would have held the handler for its bound.
TEST_P(ReplyWriteFailure, DropsTheClientAfterTheActionWithoutWaitingForAFlush)
{
    g_pipePlatform.WriteFile = FailingWriteFile;
    g_writeResult = GetParam().result;
    g_writeCount = GetParam().written;
    g_writes = 0;
    Exchange exchange = Send(AdapterRequest(ACTION_RESTART), false);
    EXPECT_EQ(exchange.result, -1);
    EXPECT_LT(exchange.elapsedMs, g_pipePlatform.replyFlushTimeoutMs);
    EXPECT_EQ(g_writes, 1);
    EXPECT_EQ(g_adapterCalls.restarts, 1) << "the action was carried out before the reply";
    EXPECT_EQ(pair_.client.Available(), 0u);
    EXPECT_EQ(log_.Messages(), RequestLines(COMMAND_ADAPTER, 7)) << "a failed write is not logged";
}

INSTANTIATE_TEST_SUITE_P(Writes, ReplyWriteFailure,
                         ::testing::Values(WriteFailure{"Fails", FALSE, 0}, WriteFailure{"Short", TRUE, 6}),
                         test::RowName());

TEST_F(HandlerTest, RequestBufferUnavailableReadsNothing)
{
    g_failAllocationNumber = 1;
    Exchange exchange = Send(AdapterRequest(ACTION_RESTART));
    EXPECT_EQ(exchange.result, -1);
    EXPECT_EQ(pair_.ServerAvailable(), 19u);
    EXPECT_THAT(log_.Messages(), IsEmpty());
    EXPECT_EQ(g_adapterCalls.restarts, 0);
}

TEST_F(HandlerTest, ReplyBufferUnavailableSendsNoReplyAndRunsNoAction)
{
    g_failAllocationNumber = 2;
    Exchange exchange = Send(AdapterRequest(ACTION_RESTART));
    EXPECT_EQ(exchange.result, -1);
    EXPECT_EQ(exchange.reply, "");
    EXPECT_EQ(log_.Messages(), RequestLines(COMMAND_ADAPTER, 7));
    EXPECT_EQ(g_adapterCalls.restarts, 0);
}

TEST_F(HandlerTest, FailedReadIsLoggedWithItsCode)
{
    g_pipePlatform.ReadFile = FailingReadFile;
    Exchange exchange = Send(AdapterRequest(ACTION_RESTART));
    EXPECT_EQ(exchange.result, -1);
    EXPECT_EQ(exchange.reply, "");
    EXPECT_THAT(log_.Messages(), ElementsAre(L"Got error 995"));
    EXPECT_EQ(g_adapterCalls.restarts, 0);
}

// --- The flush ---------------------------------------------------------------

BOOL WINAPI FailingCreateTimerQueueTimer(PHANDLE, HANDLE, WAITORTIMERCALLBACK, PVOID, DWORD, DWORD, ULONG)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

// The bound holds with the timer that cancels the flush, and without one, when
// the handler waits for the client to close instead; it never skips the wait.
class FlushTest : public HandlerTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        HandlerTest::SetUp();
        if (!GetParam())
            g_pipePlatform.CreateTimerQueueTimer = FailingCreateTimerQueueTimer;
    }
};

TEST_P(FlushTest, SlowReaderGetsTheWholeReplyBeforeTheHandlerReturns)
{
    ASSERT_TRUE(pair_.client.Write(Header(TB, 1, 2, 0)));
    ASSERT_TRUE(WaitUntil([&] { return pair_.ServerAvailable() == 12; }));
    std::atomic<bool> done{false};
    int result = 0;
    std::thread handler([&] {
        result = Handle(pair_.Server());
        done = true;
    });
    // The reply is there, and the handler waits for it to be taken.
    ASSERT_TRUE(WaitUntil([&] { return pair_.client.Available() == 12; }));
    Sleep(200);
    EXPECT_FALSE(done);
    DWORD error = 0;
    EXPECT_EQ(Hex(pair_.client.ReadAll(12, 1000, &error)), Hex(Reply(2, 0)));
    pair_.client.Close();
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 2000));
    handler.join();
    EXPECT_EQ(result, 1);
}

TEST_P(FlushTest, ClientThatNeverReadsIsGivenUpAfterTheFlushBound)
{
    g_pipePlatform.replyFlushTimeoutMs = 150;
    Exchange exchange = Send(Header(TB, 1, 2, 0), false);
    EXPECT_EQ(exchange.result, 1);
    EXPECT_GE(exchange.elapsedMs, 140u);
    EXPECT_LT(exchange.elapsedMs, 2000u);
    EXPECT_EQ(pair_.client.Available(), 12u);  // written, still unread
}

INSTANTIATE_TEST_SUITE_P(Timer, FlushTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "WithTheTimer" : "WithoutATimer";
});

// --- The real adapter control behind the seam --------------------------------

TEST(HandlerRealAdapterTest, RestartOfAnUnknownAddressRunsAndIsDone)
{
    PipePair pair;
    ASSERT_TRUE(pair.Ready());
    // No adapter has a multicast address: adapter control finds nothing.
    std::string request = Header(CONTROL_MESSAGE_MAGIC, 1, 1, 7) + Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 1});
    ASSERT_TRUE(pair.client.Write(request));
    ASSERT_TRUE(WaitUntil([&] { return pair.ServerAvailable() == 19; }));
    int result = 0;
    std::thread handler([&] { result = HandlePipeRequest(pair.Server()); });
    DWORD error = 0;
    std::string reply = pair.client.ReadAll(12, 20000, &error);
    handler.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Hex(reply), Hex(Reply(1, 1)));
}

}  // namespace
