// tobractl.exe as a user runs it: its exit code, what it prints, and what
// reaches a test server on the pipe.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

// winsock2.h first: iphlpapi.h needs its address types.
#include <winsock2.h>
#include <iphlpapi.h>

#include <string>
#include <vector>

#include "client_test_support.h"
#include "support/test_support.h"
#include "tobra_wire.h"

using test::FakePipeServer;
using test::RunTobractl;
using test::ServerBehaviour;
using test::TobractlRun;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const std::string RESTART_REQUEST = wire::AdapterRequest(1);  // 00-11-22-33-44-55

std::string Utf8(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

std::wstring PipeOption(const FakePipeServer& server)
{
    return L"--pipe \"" + server.Name() + L"\" ";
}

// Exit codes as the usage text gives them.
const long DONE = 0;
const long NOT_DONE = 1;
const long NO_REPLY = 2;
const long CANNOT_CONNECT = 3;
const long BAD_REPLY = 4;
const long BAD_USAGE = 5;
const long NO_ADAPTER = 7;
const long SWITCH_FAILED = 8;
const long LIST_UNREADABLE = 9;
const long REFUSED = 10;
const long NOT_THE_SERVICE = 11;

// --json: stdout holds one object on one line, ending with the exit code; the
// sentences go to stderr.
void ExpectJsonObject(const TobractlRun& run, const std::string& fields, const char* name)
{
    std::string ending = ",\"exitCode\":" + std::to_string(run.exitCode) + "}\n";
    EXPECT_EQ(run.out.rfind("{\"command\":", 0), 0u) << name << ": " << run.out;
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << name << ": " << run.out;
    EXPECT_TRUE(run.out.size() >= ending.size() && run.out.compare(run.out.size() - ending.size(), ending.size(),
                                                                   ending) == 0)
        << name << ": " << run.out;
    EXPECT_THAT(run.out, HasSubstr(fields)) << name;
}

// The version probe: version 2, command 2, no data.
const std::string PROBE = wire::CommandRequest(2, 2);
std::string WithVersion(std::string request, char version)
{
    request[2] = version;
    return request;
}

// A service that predates version 2 drops the probe, twice; the request then goes once, in version 1.
TEST(Tobractl, RestartOnAVersionOneServiceSaysDoneWithoutAnOutcome)
{
    FakePipeServer server(ServerBehaviour::VersionOne, wire::Reply(1, 1), 3);
    TobractlRun run = RunTobractl(PipeOption(server) + L"restart 00-11-22-33-44-55");
    EXPECT_EQ(run.exitCode, DONE);
    EXPECT_THAT(run.out, HasSubstr("Done (this service does not report the outcome): 00-11-22-33-44-55."));
    EXPECT_THAT(run.err, IsEmpty());
    server.Stop();
    EXPECT_THAT(server.Requests(), ElementsAre(PROBE, PROBE, RESTART_REQUEST));

    FakePipeServer again(ServerBehaviour::VersionOne, wire::Reply(1, 1), 3);
    run = RunTobractl(L"--json " + PipeOption(again) + L"restart 00-11-22-33-44-55");
    EXPECT_EQ(run.exitCode, DONE);
    ExpectJsonObject(run,
                     "\"result\":\"done\",\"outcome\":\"unknown\",\"outcomeCode\":null,\"offResult\":null,"
                     "\"onResult\":null,\"version\":1,",
                     "version 1");
    EXPECT_THAT(run.err, HasSubstr("Done (this service does not report the outcome)"));
}

// An enable: named by its address when the list does not hold the adapter
// (Windows leaves a disabled one out); refused by the library, unsent, by a
// service that predates version 2.
TEST(Tobractl, EnableSaysWhatTheServiceDidAndNeedsVersionTwo)
{
    struct Row {
        const char* name;
        ServerBehaviour behaviour;
        std::string reply;
        long exitCode;
        const char* line;
        size_t requests;
    } rows[] = {
        {"switched", ServerBehaviour::VersionTwo, wire::OutcomeReply(1, 1, 1), DONE, "Enabled 00-11-22-33-44-55.\n", 2},
        {"failed", ServerBehaviour::VersionTwo, wire::OutcomeReply(1, 1, 3, 0, 0x80070005), SWITCH_FAILED,
         "Enabling 00-11-22-33-44-55 (00-11-22-33-44-55) failed: 0x80070005", 2},
        {"no adapter", ServerBehaviour::VersionTwo, wire::OutcomeReply(1, 1, 2, 0, 0x80070002), NO_ADAPTER,
         "No adapter has the address 00-11-22-33-44-55.", 2},
        {"version 1", ServerBehaviour::VersionOne, wire::Reply(1, 1), NOT_DONE,
         "This service cannot enable adapters (it predates the outcome protocol).\n", 2},
    };
    for (const Row& row : rows) {
        FakePipeServer server(row.behaviour, row.reply, 3);
        TobractlRun run = RunTobractl(PipeOption(server) + L"enable 00-11-22-33-44-55");
        EXPECT_EQ(run.exitCode, row.exitCode) << row.name;
        EXPECT_THAT(run.out, HasSubstr(row.line)) << row.name;
        server.Stop();
        ASSERT_EQ(server.Requests().size(), row.requests) << row.name;
        if (row.behaviour == ServerBehaviour::VersionTwo) {
            EXPECT_EQ(server.Requests()[1], WithVersion(RESTART_REQUEST.substr(0, 18) + "\x03", 2)) << row.name;
        }
    }
    FakePipeServer server(ServerBehaviour::VersionTwo, wire::OutcomeReply(1, 1, 1), 2);
    TobractlRun json = RunTobractl(L"--json " + PipeOption(server) + L"enable 00-11-22-33-44-55");
    ExpectJsonObject(json,
                     "{\"command\":\"enable\",\"address\":\"00-11-22-33-44-55\",\"adapter\":null,\"result\":\"done\","
                     "\"outcome\":\"switched\",\"outcomeCode\":1,",
                     "enable");
}

TEST(Tobractl, DisableTakesAnyWritingOfTheAddress)
{
    FakePipeServer server(ServerBehaviour::VersionOne, wire::Reply(1, 0), 3);
    TobractlRun run = RunTobractl(PipeOption(server) + L"disable aa:bb:cc:dd:ee:0f");
    EXPECT_EQ(run.exitCode, NOT_DONE);
    EXPECT_THAT(run.out, HasSubstr("Not done: the service answered that it did not carry out the disable for "
                                   "AA-BB-CC-DD-EE-0F."));
    server.Stop();
    ASSERT_EQ(server.Requests().size(), 3u);
    EXPECT_EQ(server.Requests()[2].substr(12), std::string("\xAA\xBB\xCC\xDD\xEE\x0F\x02", 7));
}

// A version 2 service says what the request did; each outcome has its line
// and exit code, and the request is sent once, in version 2.
struct ReportedCase {
    const char* name;
    std::string reply;
    long exitCode;
    const char* line;
    const char* json;  // what --json writes of it
};

TEST(Tobractl, EachReportedOutcomeHasItsExitCodeAndLine)
{
    const ReportedCase cases[] = {
        {"switched", wire::OutcomeReply(1, 1, 1), DONE, "Restarted ",
         "{\"command\":\"restart\",\"address\":\"00-11-22-33-44-55\",\"adapter\":null,\"result\":\"done\","
         "\"outcome\":\"switched\",\"outcomeCode\":1,\"offResult\":\"0x00000000\",\"onResult\":\"0x00000000\","
         "\"version\":2,\"windowsError\":0,\"requestSent\":true,\"message\":\"Restarted 00-11-22-33-44-55 "
         "(00-11-22-33-44-55).\",\"exitCode\":0}"},
        {"no adapter", wire::OutcomeReply(1, 1, 2, 0x80070002, 0x80070002), NO_ADAPTER,
         "No adapter has the address 00-11-22-33-44-55.",
         "\"outcome\":\"no-adapter\",\"outcomeCode\":2,\"offResult\":\"0x80070002\",\"onResult\":\"0x80070002\""},
        {"failed", wire::OutcomeReply(1, 1, 3, 0x80070005, 0x800704D5), SWITCH_FAILED, "failed: off 0x80070005",
         "\"outcome\":\"failed\",\"outcomeCode\":3,\"offResult\":\"0x80070005\",\"onResult\":\"0x800704d5\""},
        {"list unavailable", wire::OutcomeReply(1, 1, 5, 0x80070002, 0x80070002), LIST_UNREADABLE,
         "The adapter list could not be read; the service switched nothing it could name.",
         "\"outcome\":\"list-unavailable\",\"outcomeCode\":5"},
        {"refused", wire::OutcomeReply(1, 0, 4), REFUSED, "Refused by the service's policy: 00-11-22-33-44-55.",
         "\"result\":\"not-done\",\"outcome\":\"refused\",\"outcomeCode\":4"},
        {"outcome that does not fit the status", wire::OutcomeReply(1, 0, 1), BAD_REPLY, "",
         "\"result\":\"bad-reply\",\"outcome\":null,\"outcomeCode\":null,\"offResult\":null,\"onResult\":null,"
         "\"version\":2,\"windowsError\":0,\"requestSent\":true"},
    };
    for (const ReportedCase& c : cases) {
        FakePipeServer server(ServerBehaviour::VersionTwo, c.reply, 2);
        TobractlRun run = RunTobractl(PipeOption(server) + L"restart 00-11-22-33-44-55");
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name;
        EXPECT_THAT(run.out, HasSubstr(c.line)) << c.name;
        server.Stop();
        EXPECT_THAT(server.Requests(), ElementsAre(PROBE, WithVersion(RESTART_REQUEST, 2))) << c.name;

        // The same exchange with --json: the object, and the sentence moved to stderr.
        FakePipeServer again(ServerBehaviour::VersionTwo, c.reply, 2);
        TobractlRun json = RunTobractl(L"--json " + PipeOption(again) + L"restart 00-11-22-33-44-55");
        EXPECT_EQ(json.exitCode, c.exitCode) << c.name;
        ExpectJsonObject(json, c.json, c.name);
        EXPECT_THAT(json.err, HasSubstr(c.line)) << c.name;
        again.Stop();
        EXPECT_EQ(again.Requests().size(), 2u) << c.name;
    }
}

struct OutcomeCase {
    const char* name;
    ServerBehaviour behaviour;
    std::string reply;
    long exitCode;
    const char* message;
    const char* json;  // what --json writes of it
    int clients = 3;   // then the server is gone
};

TEST(Tobractl, EachOutcomeHasItsExitCodeAndMessage)
{
    const OutcomeCase cases[] = {
        {"closed without reply", ServerBehaviour::CloseWithoutReply, "", NO_REPLY,
         "No reply: the service closed the connection without answering.",
         "\"result\":\"no-reply\",\"outcome\":null,\"outcomeCode\":null,\"offResult\":null,\"onResult\":null,"
         "\"version\":1,\"windowsError\":109,\"requestSent\":true,"},
        {"silent", ServerBehaviour::Silent, "", NO_REPLY, "No reply within 300 ms; nothing was sent.",
         "\"result\":\"no-reply\",\"outcome\":null,\"outcomeCode\":null,\"offResult\":null,\"onResult\":null,"
         "\"version\":null,\"windowsError\":258,\"requestSent\":false,"},
        {"short reply", ServerBehaviour::Reply, std::string("\x54\x42\x01\x00\x01", 5), BAD_REPLY,
         "Invalid reply (5 bytes", "\"result\":\"bad-reply\""},
        // One dropped probe is not taken for a version 1 service.
        {"probe dropped, then gone", ServerBehaviour::DropFirstProbe, wire::OutcomeReply(1, 1, 1), NO_REPLY,
         "No reply: the request could not be sent (error 2): the pipe does not exist",
         "\"result\":\"no-reply\",\"outcome\":null", 1},
    };
    for (const OutcomeCase& c : cases) {
        for (bool json : {false, true}) {
            FakePipeServer server(c.behaviour, c.reply, c.clients);
            TobractlRun run = RunTobractl((json ? L"--json " : L"") + PipeOption(server) +
                                          L"--timeout 300 restart 00-11-22-33-44-55");
            EXPECT_EQ(run.exitCode, c.exitCode) << c.name;
            EXPECT_THAT(run.err, HasSubstr(c.message)) << c.name;
            if (json)
                ExpectJsonObject(run, c.json, c.name);
            else
                EXPECT_THAT(run.out, IsEmpty()) << c.name;
        }
    }
}

TEST(Tobractl, AMissingPipeCannotBeConnected)
{
    TobractlRun run = RunTobractl(L"--pipe \\\\.\\pipe\\tobra-client-test-nobody restart 00-11-22-33-44-55");
    EXPECT_EQ(run.exitCode, CANNOT_CONNECT);
    EXPECT_THAT(run.err, HasSubstr("Cannot connect to \\\\.\\pipe\\tobra-client-test-nobody (error 2): the pipe "
                                   "does not exist; is Tobra Service running?"));
}

struct UsageCase {
    const wchar_t* arguments;
    const char* message;
};

TEST(Tobractl, BadInputIsRefusedBeforeAnythingIsSent)
{
    const UsageCase cases[] = {
        {L"restart 00-11-22-33-44", "\"00-11-22-33-44\" is not a hardware address"},
        {L"restart 00-11-22-33-44-GG", "\"00-11-22-33-44-GG\" is not a hardware address"},
        {L"disable", "disable needs one hardware address"},
        {L"restart 00-11-22-33-44-55 00-11-22-33-44-66", "restart needs one hardware address"},
        {L"reboot 00-11-22-33-44-55", "unknown command \"reboot\""},
        {L"--timeout 0 restart 00-11-22-33-44-55", "\"0\" is not a time limit"},
        {L"--timeout 10s restart 00-11-22-33-44-55", "\"10s\" is not a time limit"},
        {L"--verbose restart 00-11-22-33-44-55", "unknown option \"--verbose\""},
        {L"--timeout", "unknown option \"--timeout\", or its value is missing"},
        {L"raw", "raw needs the bytes to send"},
        {L"raw 54 42 0", "\"0\" is not a list of hexadecimal byte pairs"},
        {L"raw 5442zz", "\"5442zz\" is not a list of hexadecimal byte pairs"},
        {L"list now", "list takes no arguments"},
    };
    FakePipeServer server(ServerBehaviour::Reply);
    for (const UsageCase& c : cases) {
        TobractlRun run = RunTobractl(PipeOption(server) + c.arguments);
        EXPECT_EQ(run.exitCode, BAD_USAGE) << c.message;
        EXPECT_THAT(run.err, HasSubstr(c.message));
        EXPECT_THAT(run.err, HasSubstr("tobractl --help"));
        // A script that asked for JSON gets an object for a bad command line too.
        run = RunTobractl(L"--json " + PipeOption(server) + c.arguments);
        EXPECT_EQ(run.exitCode, BAD_USAGE) << c.message;
        ExpectJsonObject(run, "\"message\":\"tobractl: ", c.message);
        EXPECT_THAT(run.err, HasSubstr(c.message));
    }
    TobractlRun run = RunTobractl(L"");
    EXPECT_EQ(run.exitCode, BAD_USAGE);
    EXPECT_THAT(run.err, HasSubstr("Usage: tobractl"));
    run = RunTobractl(L"--pipe C:\\tobra.txt restart 00-11-22-33-44-55");
    EXPECT_EQ(run.exitCode, BAD_USAGE);
    EXPECT_THAT(run.err, HasSubstr("C:\\tobra.txt is not a local pipe name"));
    server.Stop();
    EXPECT_EQ(server.Connections(), 0);
}

TEST(Tobractl, HelpGoesToStandardOutput)
{
    TobractlRun run = RunTobractl(L"--help");
    EXPECT_EQ(run.exitCode, DONE);
    EXPECT_THAT(run.out, HasSubstr("Usage: tobractl"));
    EXPECT_THAT(run.out, HasSubstr("Exit codes: 0 done"));
}

TEST(Tobractl, RawSendsTheGivenBytesAndPrintsTheRawReply)
{
    FakePipeServer server(ServerBehaviour::Reply, wire::Reply(7, 0));
    TobractlRun run = RunTobractl(PipeOption(server) + L"raw 54-42-01-00 07 00,00,00 00:00:00:00 ff");
    EXPECT_EQ(run.exitCode, NOT_DONE);
    EXPECT_THAT(run.out, HasSubstr("Sent 13 bytes.\nReply (12 bytes): 54 42 01 00 07 00 00 00 00 00 00 00\n"));
    server.Stop();
    EXPECT_THAT(server.Requests(), ElementsAre(std::string("\x54\x42\x01\x00\x07\0\0\0\0\0\0\0\xFF", 13)));

    FakePipeServer again(ServerBehaviour::Reply, wire::Reply(7, 0));
    run = RunTobractl(L"--json " + PipeOption(again) + L"raw 54 42 01 00 07 00 00 00 00 00 00 00");
    EXPECT_EQ(run.exitCode, NOT_DONE);
    ExpectJsonObject(run,
                     "{\"command\":\"raw\",\"request\":\"54 42 01 00 07 00 00 00 00 00 00 00\",\"reply\":\"54 42 01 00 "
                     "07 00 00 00 00 00 00 00\",\"replySize\":12,\"result\":\"not-done\",\"windowsError\":0,"
                     "\"requestSent\":true,",
                     "raw");
    EXPECT_THAT(run.err, HasSubstr("Reply (12 bytes)"));
}

// Sets an environment variable for the tobractl runs of one test.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name)
    {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const wchar_t* name_;
};

TEST(Tobractl, ThePipeComesFromTheEnvironmentUnlessTheOptionNamesOne)
{
    FakePipeServer fromEnvironment(ServerBehaviour::VersionOne, wire::Reply(1, 1), 3);
    FakePipeServer fromOption(ServerBehaviour::VersionOne, wire::Reply(1, 0), 3);
    ScopedEnvironment pipe(L"TOBRA_PIPE", fromEnvironment.Name());

    EXPECT_EQ(RunTobractl(L"restart 00-11-22-33-44-55").exitCode, DONE);
    EXPECT_EQ(RunTobractl(PipeOption(fromOption) + L"restart 00-11-22-33-44-55").exitCode, NOT_DONE);
    fromEnvironment.Stop();
    fromOption.Stop();
    EXPECT_EQ(fromEnvironment.Requests().size(), 3u);
    EXPECT_EQ(fromOption.Requests().size(), 3u);
}

// Another program serving the service's pipe gets nothing, whichever spelling
// of its name reaches it, through the option or the environment.
TEST(Tobractl, AnotherProgramOnTheServicesPipeGetsNothingUnderAnySpelling)
{
    const wchar_t* spellings[] = {L"\\\\.\\pipe\\norva\\Tobra Service", L"\\\\.\\pipe\\norva/Tobra Service",
                                  L"\\\\.\\pipe\\norva\\Tobra Service.", L"\\\\.\\pipe\\x\\..\\norva\\Tobra Service"};
    for (const wchar_t* spelling : spellings) {
        for (bool fromEnvironment : {false, true}) {
            std::string shown = Utf8(spelling);
            SCOPED_TRACE(shown + (fromEnvironment ? " from TOBRA_PIPE" : " from --pipe"));
            FakePipeServer server(ServerBehaviour::VersionTwo, wire::OutcomeReply(1, 1, 1), 2,
                                  L"\\\\.\\pipe\\norva\\Tobra Service");
            ScopedEnvironment pipe(L"TOBRA_PIPE", fromEnvironment ? spelling : L"");
            TobractlRun run = RunTobractl((fromEnvironment ? L"" : L"--pipe \"" + std::wstring(spelling) + L"\" ") +
                                          L"restart 00-11-22-33-44-55");
            EXPECT_EQ(run.exitCode, NOT_THE_SERVICE);
            EXPECT_THAT(run.err,
                        HasSubstr("Nothing sent: " + shown + " is served by another program, not by Tobra Service."));
            EXPECT_THAT(run.out, IsEmpty());
            server.Stop();
            EXPECT_THAT(server.Requests(), IsEmpty());
        }
    }
}

TEST(Tobractl, ListShowsEveryAdapterWithItsAddressAndNames)
{
    ULONG size = 64 * 1024;
    std::vector<BYTE> buffer(size);
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    ASSERT_EQ(GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_UNICAST, nullptr, adapters, &size),
              static_cast<ULONG>(ERROR_SUCCESS));

    TobractlRun run = RunTobractl(L"list");
    EXPECT_EQ(run.exitCode, DONE);
    EXPECT_THAT(run.out, HasSubstr("Hardware address"));
    TobractlRun json = RunTobractl(L"--json list");
    EXPECT_EQ(json.exitCode, DONE);
    ExpectJsonObject(json, "{\"command\":\"list\",\"adapters\":[{\"address\":", "list");
    EXPECT_THAT(json.err, IsEmpty()) << "no table beside the object";
    for (IP_ADAPTER_ADDRESSES* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
        // The row: address, state, GUID name, friendly name.
        std::string address = "-";
        if (adapter->PhysicalAddressLength > 0) {
            address.clear();
            for (ULONG i = 0; i < adapter->PhysicalAddressLength; ++i) {
                char pair[4];
                wsprintfA(pair, i + 1 < adapter->PhysicalAddressLength ? "%02X-" : "%02X", adapter->PhysicalAddress[i]);
                address += pair;
            }
        }
        size_t name = run.out.find(std::string(" ") + adapter->AdapterName + "  ");
        ASSERT_NE(name, std::string::npos) << adapter->AdapterName;
        size_t start = run.out.rfind('\n', name) + 1;
        std::string line = run.out.substr(start, run.out.find('\n', name) - start);
        EXPECT_EQ(line.substr(0, address.size() + 1), address + " ") << line;
        EXPECT_THAT(line, HasSubstr(std::string(adapter->AdapterName) + "  " + Utf8(adapter->FriendlyName)));
        EXPECT_THAT(json.out, HasSubstr("{\"address\":\"" + address + "\",\"state\":\"" +
                                        line.substr(19, line.find(' ', 19) - 19) + "\",\"guid\":\"" +
                                        adapter->AdapterName + "\",\"name\":\""));
    }
}

// The adapters the service recorded as left off are listed from the record
// when the list no longer holds them; values that are no address are not.
TEST(Tobractl, ListShowsTheAdaptersTheServiceLeftDisabled)
{
    const WCHAR GUID_TEXT[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
    ASSERT_TRUE(test::WriteRegistryValue(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY, L"02-00-5E-7B-0B-A1", REG_SZ,
                                         GUID_TEXT));
    ASSERT_TRUE(test::WriteRegistryValue(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY, L"not an address", REG_SZ,
                                         GUID_TEXT));
    TobractlRun run = RunTobractl(L"list");
    TobractlRun json = RunTobractl(L"--json list");
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY, L"02-00-5E-7B-0B-A1");
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY, L"not an address");
    EXPECT_EQ(run.exitCode, DONE);
    EXPECT_THAT(run.out, HasSubstr("\n02-00-5E-7B-0B-A1  disabled  {4D36E972-E325-11CE-BFC1-08002BE10318}  \n"));
    EXPECT_EQ(run.out.find("not an address"), std::string::npos);
    EXPECT_THAT(json.out, HasSubstr(",{\"address\":\"02-00-5E-7B-0B-A1\",\"state\":\"disabled\",\"guid\":"
                                    "\"{4D36E972-E325-11CE-BFC1-08002BE10318}\",\"name\":\"\"}]"));
}

}  // namespace
