// The client library over real pipes: a test server thread that replies,
// stays silent, closes early, answers with the wrong size or keeps the pipe
// busy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_test_support.h"
#include "support/test_support.h"
#include "tobra_client.h"
#include "tobra_client_raw.h"
#include "tobra_client_platform.h"

using test::FakePipeServer;
using test::ServerBehaviour;

namespace {

const unsigned char ADDRESS[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
// A restart for 00-11-22-33-44-55, byte for byte as the service reads it.
const std::string RESTART_REQUEST = wire::AdapterRequest(TOBRA_ACTION_RESTART);
const unsigned long QUICK_LIMIT_MS = 300;

std::string Bytes(const unsigned char* data, size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}

// --- addresses, requests and replies ---

TEST(ClientFormat, BuildsTheNineteenByteAdapterRequest)
{
    unsigned char request[TOBRA_ADAPTER_REQUEST_SIZE];
    ASSERT_EQ(TobraBuildAdapterRequest(ADDRESS, TOBRA_ACTION_RESTART, request), 19u);
    EXPECT_EQ(Bytes(request, 19), RESTART_REQUEST);
    ASSERT_EQ(TobraBuildAdapterRequest(ADDRESS, TOBRA_ACTION_DISABLE, request), 19u);
    EXPECT_EQ(request[18], 2);
    EXPECT_EQ(TobraBuildAdapterRequest(ADDRESS, 0, request), 0u);
    EXPECT_EQ(TobraBuildAdapterRequest(ADDRESS, 3, request), 0u);
}

struct ReplyCase {
    const char* name;
    std::string reply;
    int command;
    TobraResult expected;
};

TEST(ClientFormat, JudgesRepliesStrictly)
{
    auto with = [](std::string reply, size_t offset, char value) {
        reply[offset] = value;
        return reply;
    };
    const std::string done = wire::Reply(1, 1);
    const ReplyCase cases[] = {
        {"done", done, 1, TOBRA_DONE},
        {"not done", wire::Reply(1, 0), 1, TOBRA_NOT_DONE},
        {"another command, any expected", wire::Reply(7, 0), -1, TOBRA_NOT_DONE},
        {"nothing", std::string(), 1, TOBRA_NO_REPLY},
        {"11 bytes", done.substr(0, 11), 1, TOBRA_BAD_REPLY},
        {"13 bytes", done + '\0', 1, TOBRA_BAD_REPLY},
        {"magic bytes swapped", with(with(done, 0, 0x42), 1, 0x54), 1, TOBRA_BAD_REPLY},
        {"version 0", with(done, 2, 0), 1, TOBRA_BAD_REPLY},
        {"version 2", with(done, 2, 2), 1, TOBRA_BAD_REPLY},
        {"version 0x0101", with(done, 3, 1), 1, TOBRA_BAD_REPLY},
        {"another command", wire::Reply(2, 1), 1, TOBRA_BAD_REPLY},
        {"status 2", wire::Reply(1, 2), 1, TOBRA_BAD_REPLY},
        {"data size 1", with(done, 8, 1), 1, TOBRA_BAD_REPLY},
        {"data size 2^24", with(done, 11, 1), 1, TOBRA_BAD_REPLY},
        {"reserved not zero", with(done, 6, 1), 1, TOBRA_DONE},
    };
    for (const ReplyCase& c : cases) {
        EXPECT_EQ(TobraCheckReply(reinterpret_cast<const unsigned char*>(c.reply.data()),
                                  static_cast<unsigned long>(c.reply.size()), c.command),
                  c.expected)
            << c.name;
    }
}

// --- exchanges over real pipes ---

class Stopwatch {
public:
    Stopwatch() : start_(GetTickCount()) {}
    DWORD Elapsed() const { return GetTickCount() - start_; }

private:
    DWORD start_;
};

TEST(ClientExchange, RestartIsWrittenInOneWriteAndItsReplyRead)
{
    FakePipeServer server(ServerBehaviour::Reply, wire::Reply(1, 1));
    TobraOutcome outcome;
    EXPECT_EQ(TobraRestartAdapter(server.Name().c_str(), ADDRESS, 5000, &outcome), TOBRA_DONE);
    server.Stop();
    EXPECT_THAT(server.Requests(), testing::ElementsAre(RESTART_REQUEST));
    EXPECT_EQ(outcome.error, 0u);
    EXPECT_TRUE(outcome.requestSent);
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_EQ(outcome.replySize, 12u);
    EXPECT_EQ(Bytes(outcome.reply, 12), wire::Reply(1, 1));
}

TEST(ClientExchange, DisableSendsActionTwoAndReportsNotDone)
{
    FakePipeServer server(ServerBehaviour::Reply, wire::Reply(1, 0));
    EXPECT_EQ(TobraDisableAdapter(server.Name().c_str(), ADDRESS, 5000, nullptr), TOBRA_NOT_DONE);
    server.Stop();
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0][18], 2);
}

TEST(ClientExchange, AReplyIsTakenWithoutWaitingForTheDisconnect)
{
    FakePipeServer server(ServerBehaviour::ReplyAndHold, wire::Reply(1, 1));
    Stopwatch stopwatch;
    EXPECT_EQ(TobraRestartAdapter(server.Name().c_str(), ADDRESS, 5000, nullptr), TOBRA_DONE);
    EXPECT_LT(stopwatch.Elapsed(), 2000u);
}

struct FailureCase {
    const char* name;
    ServerBehaviour behaviour;
    std::string reply;
    TobraResult expected;
    unsigned long replySize;
};

TEST(ClientExchange, AnswersOtherThanAReplyAreReportedAsSuch)
{
    const std::string done = wire::Reply(1, 1);
    const FailureCase cases[] = {
        {"closed without a reply", ServerBehaviour::CloseWithoutReply, "", TOBRA_NO_REPLY, 0},
        {"8 bytes, then closed", ServerBehaviour::Reply, done.substr(0, 8), TOBRA_BAD_REPLY, 8},
        {"16 bytes", ServerBehaviour::Reply, done + "\x01\x02\x03\x04", TOBRA_BAD_REPLY, 16},
        {"another command", ServerBehaviour::Reply, wire::Reply(0, 1), TOBRA_BAD_REPLY, 12},
        {"wrong magic", ServerBehaviour::Reply, "TBTBTBTBTBTB", TOBRA_BAD_REPLY, 12},
    };
    for (const FailureCase& c : cases) {
        FakePipeServer server(c.behaviour, c.reply);
        TobraOutcome outcome;
        Stopwatch stopwatch;
        EXPECT_EQ(TobraRestartAdapter(server.Name().c_str(), ADDRESS, 5000, &outcome), c.expected) << c.name;
        EXPECT_LT(stopwatch.Elapsed(), 2000u) << c.name;
        EXPECT_TRUE(outcome.requestSent) << c.name;
        EXPECT_FALSE(outcome.timedOut) << c.name;
        EXPECT_EQ(outcome.replySize, c.replySize) << c.name;
    }
}

TEST(ClientExchange, AServerThatDropsTheClientAtOnceGivesNoReply)
{
    FakePipeServer server(ServerBehaviour::CloseAtConnect);
    TobraOutcome outcome;
    EXPECT_EQ(TobraRestartAdapter(server.Name().c_str(), ADDRESS, 5000, &outcome), TOBRA_NO_REPLY);
    EXPECT_NE(outcome.error, 0u);
    EXPECT_FALSE(outcome.timedOut);
}

TEST(ClientExchange, ASilentServerEndsTheExchangeAtTheTimeLimit)
{
    FakePipeServer server(ServerBehaviour::Silent);
    TobraOutcome outcome;
    Stopwatch stopwatch;
    EXPECT_EQ(TobraRestartAdapter(server.Name().c_str(), ADDRESS, QUICK_LIMIT_MS, &outcome), TOBRA_NO_REPLY);
    DWORD elapsed = stopwatch.Elapsed();
    EXPECT_GE(elapsed + 20, QUICK_LIMIT_MS);  // tick granularity
    EXPECT_LT(elapsed, QUICK_LIMIT_MS + 1500);
    EXPECT_TRUE(outcome.timedOut);
    EXPECT_TRUE(outcome.requestSent);
    EXPECT_EQ(outcome.replySize, 0u);
    server.Stop();
    EXPECT_THAT(server.Requests(), testing::ElementsAre(RESTART_REQUEST));
}

TEST(ClientExchange, AMissingPipeFailsAtOnce)
{
    TobraOutcome outcome;
    Stopwatch stopwatch;
    EXPECT_EQ(TobraRestartAdapter(test::UniquePipeName().c_str(), ADDRESS, 5000, &outcome), TOBRA_CANNOT_CONNECT);
    EXPECT_LT(stopwatch.Elapsed(), 1000u);
    EXPECT_EQ(outcome.error, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_FALSE(outcome.requestSent);
}

// Opens the test server's pipe as another client would and keeps it.
HANDLE OccupyPipe(const std::wstring& name)
{
    HANDLE holder = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && holder == INVALID_HANDLE_VALUE; ++attempt) {
        holder = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (holder == INVALID_HANDLE_VALUE)
            WaitNamedPipeW(name.c_str(), 100);
    }
    return holder;
}

TEST(ClientExchange, APipeBusyForTheWholeLimitCannotBeConnected)
{
    FakePipeServer server(ServerBehaviour::Reply);
    HANDLE holder = OccupyPipe(server.Name());
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    TobraOutcome outcome;
    Stopwatch stopwatch;
    EXPECT_EQ(TobraRestartAdapter(server.Name().c_str(), ADDRESS, QUICK_LIMIT_MS, &outcome), TOBRA_CANNOT_CONNECT);
    DWORD elapsed = stopwatch.Elapsed();
    EXPECT_GE(elapsed + 20, QUICK_LIMIT_MS);
    EXPECT_LT(elapsed, QUICK_LIMIT_MS + 1500);
    EXPECT_TRUE(outcome.timedOut);
    EXPECT_EQ(outcome.error, static_cast<unsigned long>(ERROR_PIPE_BUSY));
    CloseHandle(holder);
}

DWORD WINAPI CloseLater(LPVOID holder)
{
    Sleep(300);
    CloseHandle(holder);
    return 0;
}

TEST(ClientExchange, ABusyPipeIsWaitedForAndThenServed)
{
    FakePipeServer server(ServerBehaviour::Reply, wire::Reply(1, 1), 2);
    HANDLE holder = OccupyPipe(server.Name());
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    HANDLE closer = CreateThread(nullptr, 0, CloseLater, holder, 0, nullptr);
    TobraOutcome outcome;
    Stopwatch stopwatch;
    EXPECT_EQ(TobraRestartAdapter(server.Name().c_str(), ADDRESS, 5000, &outcome), TOBRA_DONE);
    EXPECT_GE(stopwatch.Elapsed() + 20, 300u);
    WaitForSingleObject(closer, 5000);
    CloseHandle(closer);
    server.Stop();
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_THAT(server.Requests(), testing::ElementsAre(RESTART_REQUEST));
}

TEST(ClientExchange, OnlyLocalPipesAreOpened)
{
    const wchar_t* rejected[] = {L"C:\\tobra-client-test.txt", L"\\\\server\\pipe\\norva\\Tobra Service",
                                 L"\\\\.\\pipe\\", L"\\\\.\\C:"};
    for (const wchar_t* name : rejected)
        EXPECT_EQ(TobraRestartAdapter(name, ADDRESS, 1000, nullptr), TOBRA_BAD_ARGUMENT);
}

TEST(ClientExchange, ANameThatLeavesThePipeNamespaceIsNotWrittenTo)
{
    const std::string content = "keep me";
    HANDLE file = CreateFileW(L"C:\\tobra-client-test.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);

    TobraOutcome outcome;
    EXPECT_EQ(TobraRestartAdapter(L"\\\\.\\pipe\\..\\C:\\tobra-client-test.txt", ADDRESS, 1000, &outcome),
              TOBRA_CANNOT_CONNECT);
    EXPECT_FALSE(outcome.requestSent);

    file = CreateFileW(L"C:\\tobra-client-test.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[64] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    CloseHandle(file);
    DeleteFileW(L"C:\\tobra-client-test.txt");
    EXPECT_EQ(std::string(buffer, read), content);
}

// --- what the request did (version 2) ---

const std::string PROBE = wire::CommandRequest(2, 2);

TEST(ClientReport, AVersionTwoServiceReportsTheOutcomeAndBothCodes)
{
    FakePipeServer server(ServerBehaviour::VersionTwo, wire::OutcomeReply(1, 1, 3, 0x80070005, 0x800704D5), 2);
    TobraOutcome outcome;
    TobraAdapterReport report;
    EXPECT_EQ(TobraRestartAdapterWithReport(server.Name().c_str(), ADDRESS, 5000, &outcome, &report), TOBRA_DONE);
    EXPECT_EQ(report.reported, 1);
    EXPECT_EQ(report.version, 2u);
    EXPECT_EQ(report.outcome, static_cast<unsigned long>(TOBRA_OUTCOME_FAILED));
    EXPECT_EQ(report.offResult, 0x80070005ul);
    EXPECT_EQ(report.onResult, 0x800704D5ul);
    EXPECT_TRUE(outcome.requestSent);
    server.Stop();
    std::string request = RESTART_REQUEST;
    request[2] = 2;
    EXPECT_THAT(server.Requests(), testing::ElementsAre(PROBE, request));
}

struct VersionCase {
    const char* name;
    ServerBehaviour behaviour;
    std::string reply;
    unsigned version;
    std::vector<std::string> requests;
};

// Only two probes dropped in a row make a version 1 service; one dropped probe
// may be a service that was stopping. The request goes once, in that version.
TEST(ClientReport, TheProbesDecideTheVersion)
{
    std::string request = RESTART_REQUEST;
    request[2] = 2;
    const VersionCase cases[] = {
        {"version 2", ServerBehaviour::VersionTwo, wire::OutcomeReply(1, 1, 1), 2, {PROBE, request}},
        {"version 2, first probe dropped",
         ServerBehaviour::DropFirstProbe,
         wire::OutcomeReply(1, 1, 1),
         2,
         {PROBE, PROBE, request}},
        {"version 1: both dropped", ServerBehaviour::VersionOne, wire::Reply(1, 1), 1, {PROBE, PROBE, RESTART_REQUEST}},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakePipeServer server(c.behaviour, c.reply, 3);
        TobraAdapterReport report;
        EXPECT_EQ(TobraRestartAdapterWithReport(server.Name().c_str(), ADDRESS, 5000, nullptr, &report), TOBRA_DONE);
        EXPECT_EQ(report.version, c.version);
        EXPECT_EQ(report.reported, c.version == 2 ? 1 : 0);
        server.Stop();
        EXPECT_EQ(server.Requests(), c.requests);
    }
}

// An enable goes only to a service that knows it: a version 1 service would
// answer "not done" without saying why.
TEST(ClientReport, EnableIsSentOnlyToAVersionTwoService)
{
    std::string enable = RESTART_REQUEST;
    enable[2] = 2;
    enable[18] = TOBRA_ACTION_ENABLE;
    FakePipeServer two(ServerBehaviour::VersionTwo, wire::OutcomeReply(1, 1, 1), 2);
    TobraAdapterReport report;
    EXPECT_EQ(TobraEnableAdapterWithReport(two.Name().c_str(), ADDRESS, 5000, nullptr, &report), TOBRA_DONE);
    EXPECT_EQ(report.outcome, static_cast<unsigned long>(TOBRA_OUTCOME_SWITCHED));
    two.Stop();
    EXPECT_THAT(two.Requests(), testing::ElementsAre(PROBE, enable));

    FakePipeServer one(ServerBehaviour::VersionOne, wire::Reply(1, 1), 3);
    TobraOutcome outcome;
    EXPECT_EQ(TobraEnableAdapter(one.Name().c_str(), ADDRESS, 5000, &outcome), TOBRA_NOT_DONE);
    EXPECT_EQ(outcome.error, static_cast<unsigned long>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(outcome.requestSent);
    one.Stop();
    EXPECT_THAT(one.Requests(), testing::ElementsAre(PROBE, PROBE));
}

// A probe dropped, and then no service at all: nothing more is sent.
TEST(ClientReport, AProbeDroppedAndThenNoServiceIsNoReply)
{
    FakePipeServer server(ServerBehaviour::DropFirstProbe, wire::OutcomeReply(1, 1, 1), 1);
    TobraOutcome outcome;
    TobraAdapterReport report;
    EXPECT_EQ(TobraRestartAdapterWithReport(server.Name().c_str(), ADDRESS, 2000, &outcome, &report), TOBRA_NO_REPLY);
    EXPECT_FALSE(outcome.requestSent);
    EXPECT_NE(outcome.error, 0u);
    EXPECT_EQ(report.version, 0u);
    server.Stop();
    EXPECT_THAT(server.Requests(), testing::ElementsAre(PROBE));
}

// Whatever becomes of the adapter request, it is never sent again.
TEST(ClientReport, ARequestThatGetsNoReplyIsNotSentAgain)
{
    FakePipeServer server(ServerBehaviour::VersionTwo, "", 3);
    TobraOutcome outcome;
    TobraAdapterReport report;
    EXPECT_EQ(TobraDisableAdapterWithReport(server.Name().c_str(), ADDRESS, 2000, &outcome, &report), TOBRA_NO_REPLY);
    EXPECT_TRUE(outcome.requestSent);
    EXPECT_EQ(report.reported, 0);
    server.Stop();
    EXPECT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Connections(), 2);
}

// Stand-ins for the server check's reads, which cannot be made to fail for real.
BOOL WINAPI NameUnreadable(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)
{
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

DWORD WINAPI OwnerUnreadable(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                             PSECURITY_DESCRIPTOR*)
{
    return ERROR_ACCESS_DENIED;
}

// Reads of a server that has already dropped the connection.
BOOL WINAPI NameOfAGoneServer(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)
{
    SetLastError(ERROR_PIPE_NOT_CONNECTED);
    return FALSE;
}

DWORD WINAPI OwnerOfAGoneServer(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                PSECURITY_DESCRIPTOR*)
{
    return ERROR_BROKEN_PIPE;
}

const wchar_t OWNED_BY_SYSTEM[] = L"O:SYD:(A;;GA;;;WD)";

struct ServerCheckCase {
    const char* name;
    const wchar_t* serverName;  // the pipe the other program creates; nullptr: one of the test's own
    const wchar_t* clientName;  // as the caller spells it; nullptr: the default, or the server's own name
    const wchar_t* security;    // the pipe's descriptor; nullptr: the default (under Wine, no owner)
    decltype(g_tobraClientPlatform.GetFileInformationByHandleEx) readName;
    decltype(g_tobraClientPlatform.GetSecurityInfo) readOwner;
    unsigned long error;  // outcome.error; for TOBRA_NOT_THE_SERVICE 0 means another program serves the pipe
    bool gone;            // the server dropped the client while it was checked: no reply, not an impostor
};

// The service's own pipe, however it is spelled, is checked before anything is
// written: a pipe that SYSTEM does not own, or whose server the service manager
// does not run as "Tobra Service" (here no such service is registered at all),
// gets nothing. So does a pipe whose name or owner cannot be read. A server
// that is gone while it is checked has been sent nothing: no reply, not an
// impostor; every other failure of the checks still refuses.
TEST(ClientExchange, TheServicesPipeServedByAnotherProcessGetsNothing)
{
    const ServerCheckCase cases[] = {
        {"default name", TOBRA_PIPE_NAME, nullptr, nullptr, nullptr, nullptr, 0, false},
        {"the name as given", TOBRA_PIPE_NAME, TOBRA_PIPE_NAME, nullptr, nullptr, nullptr, 0, false},
        {"another case", TOBRA_PIPE_NAME, L"\\\\.\\PIPE\\Norva\\TOBRA SERVICE", nullptr, nullptr, nullptr, 0, false},
        {"created in another case", L"\\\\.\\pipe\\NORVA\\tobra service", L"\\\\.\\pipe\\norva/Tobra Service", nullptr,
         nullptr, nullptr, 0, false},
        {"a forward slash", TOBRA_PIPE_NAME, L"\\\\.\\pipe\\norva/Tobra Service", nullptr, nullptr, nullptr, 0, false},
        {"a trailing dot", TOBRA_PIPE_NAME, L"\\\\.\\pipe\\norva\\Tobra Service.", nullptr, nullptr, nullptr, 0, false},
        {"a detour", TOBRA_PIPE_NAME, L"\\\\.\\pipe\\x\\..\\norva\\Tobra Service", nullptr, nullptr, nullptr, 0, false},
        {"owned by SYSTEM, served by another process", TOBRA_PIPE_NAME, L"\\\\.\\pipe\\norva/Tobra Service",
         OWNED_BY_SYSTEM, nullptr, nullptr, ERROR_SERVICE_DOES_NOT_EXIST, false},
        {"the owner cannot be read", TOBRA_PIPE_NAME, nullptr, OWNED_BY_SYSTEM, nullptr, OwnerUnreadable,
         ERROR_ACCESS_DENIED, false},
        {"another pipe whose name cannot be read", nullptr, nullptr, nullptr, NameUnreadable, nullptr, 0, false},
        {"the name read finds the server gone", nullptr, nullptr, nullptr, NameOfAGoneServer, nullptr,
         ERROR_PIPE_NOT_CONNECTED, true},
        {"the owner read finds the server gone", TOBRA_PIPE_NAME, nullptr, OWNED_BY_SYSTEM, nullptr, OwnerOfAGoneServer,
         ERROR_BROKEN_PIPE, true},
    };
    for (const ServerCheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScopedSwap<decltype(g_tobraClientPlatform.GetFileInformationByHandleEx)> readName(
            g_tobraClientPlatform.GetFileInformationByHandleEx,
            c.readName != nullptr ? c.readName : g_tobraClientPlatform.GetFileInformationByHandleEx);
        test::ScopedSwap<decltype(g_tobraClientPlatform.GetSecurityInfo)> readOwner(
            g_tobraClientPlatform.GetSecurityInfo,
            c.readOwner != nullptr ? c.readOwner : g_tobraClientPlatform.GetSecurityInfo);
        FakePipeServer server(ServerBehaviour::Reply, wire::Reply(1, 1), 2,
                              c.serverName != nullptr ? c.serverName : test::UniquePipeName(), c.security);
        const wchar_t* name = c.clientName != nullptr   ? c.clientName
                              : c.serverName == nullptr ? server.Name().c_str()
                                                        : nullptr;
        TobraResult refused = c.gone ? TOBRA_NO_REPLY : TOBRA_NOT_THE_SERVICE;
        TobraOutcome outcome;
        EXPECT_EQ(TobraRestartAdapter(name, ADDRESS, 2000, &outcome), refused);
        EXPECT_FALSE(outcome.requestSent);
        EXPECT_EQ(outcome.error, c.error);
        unsigned char reply[16];
        EXPECT_EQ(TobraExchangeRaw(name, "TB", 2, 2000, reply, sizeof(reply), nullptr), refused);
        server.Stop();
        EXPECT_TRUE(server.Requests().empty());
    }
}

// Only the service's pipe is checked: a test server's, owned by SYSTEM or not,
// whose name can be read, is served as it is.
TEST(ClientExchange, APipeOfAnotherNameIsNotChecked)
{
    const wchar_t* descriptors[] = {nullptr, OWNED_BY_SYSTEM};
    for (const wchar_t* security : descriptors) {
        FakePipeServer server(ServerBehaviour::Reply, wire::Reply(1, 1), 1, test::UniquePipeName(), security);
        EXPECT_EQ(TobraRestartAdapter(server.Name().c_str(), ADDRESS, 2000, nullptr), TOBRA_DONE);
    }
}

TEST(ClientExchange, BadArgumentsSendNothing)
{
    FakePipeServer server(ServerBehaviour::Reply);
    TobraOutcome outcome;
    outcome.error = 99;
    EXPECT_EQ(TobraSendAdapterRequest(server.Name().c_str(), ADDRESS, 3, 1000, &outcome), TOBRA_BAD_ARGUMENT);
    EXPECT_EQ(outcome.error, 0u);
    EXPECT_EQ(TobraSendAdapterRequest(server.Name().c_str(), nullptr, 1, 1000, nullptr), TOBRA_BAD_ARGUMENT);
    unsigned char reply[16];
    EXPECT_EQ(TobraExchangeRaw(server.Name().c_str(), nullptr, 4, 1000, reply, sizeof(reply), nullptr),
              TOBRA_BAD_ARGUMENT);
    std::string tooLong(TOBRA_MAX_REQUEST_SIZE + 1, 'x');
    EXPECT_EQ(TobraExchangeRaw(server.Name().c_str(), tooLong.data(), static_cast<unsigned long>(tooLong.size()), 1000,
                               reply, sizeof(reply), nullptr),
              TOBRA_BAD_ARGUMENT);
    server.Stop();
    EXPECT_EQ(server.Connections(), 0);
}

// --- raw exchanges ---

TEST(ClientRaw, SendsTheBytesAsTheyAreAndReadsUntilTheServiceCloses)
{
    const std::string request("\x54\x42\x01\x00\x07\x00\x00\x00\xFF\xFF\xFF\xFF", 12);
    const std::string longAnswer = wire::Reply(7, 0) + "0123456789";
    FakePipeServer server(ServerBehaviour::Reply, longAnswer);
    unsigned char reply[64];
    TobraOutcome outcome;
    EXPECT_EQ(TobraExchangeRaw(server.Name().c_str(), request.data(), 12, 5000, reply, sizeof(reply), &outcome),
              TOBRA_BAD_REPLY);
    EXPECT_EQ(outcome.replySize, longAnswer.size());
    EXPECT_EQ(Bytes(reply, longAnswer.size()), longAnswer);
    server.Stop();
    EXPECT_THAT(server.Requests(), testing::ElementsAre(request));
}

TEST(ClientRaw, JudgesAReplyToTheRequestsOwnCommand)
{
    FakePipeServer server(ServerBehaviour::Reply, wire::Reply(7, 0));
    const std::string request("\x54\x42\x01\x00\x07", 5);
    unsigned char reply[64];
    TobraOutcome outcome;
    EXPECT_EQ(TobraExchangeRaw(server.Name().c_str(), request.data(), 5, 5000, reply, sizeof(reply), &outcome),
              TOBRA_NOT_DONE);
    EXPECT_EQ(outcome.replySize, 12u);
}

// --- the pipe is opened for identification only ---

DWORD g_openFlags = 0;
DWORD g_openAccess = 0;

HANDLE WINAPI RecordOpen(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                         DWORD flags, HANDLE templateFile)
{
    g_openFlags = flags;
    g_openAccess = access;
    return CreateFileW(name, access, share, attributes, disposition, flags, templateFile);
}

// Wine does not enforce the impersonation level a client asks for, so the
// flags are checked where they are passed.
TEST(ClientExchange, ThePipeIsOpenedForIdentificationOnly)
{
    {
        test::ScopedSwap<decltype(g_tobraClientPlatform.CreateFileW)> open(g_tobraClientPlatform.CreateFileW,
                                                                           RecordOpen);
        FakePipeServer server(ServerBehaviour::Reply);
        EXPECT_EQ(TobraRestartAdapter(server.Name().c_str(), ADDRESS, 5000, nullptr), TOBRA_DONE);
    }

    const DWORD QOS_BITS = SECURITY_SQOS_PRESENT | SECURITY_CONTEXT_TRACKING | SECURITY_EFFECTIVE_ONLY |
                           SECURITY_IMPERSONATION | SECURITY_DELEGATION;
    EXPECT_EQ(g_openFlags & QOS_BITS, static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
    EXPECT_EQ(g_openAccess, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
}

}  // namespace
