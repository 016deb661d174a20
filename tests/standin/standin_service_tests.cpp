// The service's main job end to end under Wine: TobraService.exe registered
// with the prefix's service manager, a client's request on the control pipe,
// and the stand-in switching a real adapter of the prefix through COM.
#include "standin/standin_harness.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <stdio.h>

#include "pipe/control_message.h"
#include "service_client.h"
#include "support/test_support.h"
#include "tobra_client.h"

namespace {

using standin::ConnectionView;

constexpr DWORD SERVICE_TIMEOUT_MS = 15000;
// A restart that has to start the stand-in takes about a second under Wine.
constexpr DWORD REQUEST_TIMEOUT_MS = 30000;
using standin::EXIT_BOUND_MS;
using standin::TEST_LINGER_MS;
// Both actions are adapter commands; the reply says "done" either way.
const char DONE_REPLY[] = "54 42 01 00 01 01 00 00 00 00 00 00";
const BYTE NO_ADAPTER[6] = {0x02, 0x00, 0x5E, 0x7B, 0x0B, 0xA0};
const WCHAR GROUP_POLICY_KEY[] = L"Software\\Policies\\norva\\Tobra Service";
const WCHAR SETTINGS_KEY[] = L"Software\\norva\\Tobra Service";

std::string ActionLine(const char* action, const ConnectionView& connection, HRESULT result)
{
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(result));
    std::string name(connection.name.begin(), connection.name.end());
    return std::string(action) + " " + connection.guidText + " " + code + " " + name + "\r\n";
}

std::wstring FailureLine(HRESULT result)
{
    wchar_t line[64];
    swprintf(line, 64, L"Could not enable or disable connection (0x%08lx)", static_cast<unsigned long>(result));
    return line;
}

std::vector<std::wstring> FailureLines(const std::vector<std::wstring>& log)
{
    std::vector<std::wstring> lines;
    for (const std::wstring& line : log) {
        if (line.rfind(L"Could not enable or disable connection", 0) == 0)
            lines.push_back(line);
    }
    return lines;
}

class StandinService : public standin::RegisteredStandinTest {
protected:
    void SetUp() override
    {
        RegisteredStandinTest::SetUp();
        if (HasFatalFailure())
            return;
        // A 6-byte address of its own, so that the service's lookup finds this adapter.
        std::vector<ConnectionView> all = standin::ExpectedConnections();
        for (const ConnectionView& view : all) {
            size_t same = std::count_if(all.begin(), all.end(), [&](const ConnectionView& other) {
                return other.hardwareAddress == view.hardwareAddress;
            });
            if (view.hardwareAddress.size() == 6 && same == 1) {
                target_ = view;
                break;
            }
        }
        ASSERT_FALSE(target_.guidText.empty()) << "the prefix has no adapter to switch";

        ASSERT_TRUE(serviceclient::RemoveService());
        ASSERT_TRUE(test::DeleteTree(test::SERVICE_LOG_ROOT));
        std::wstring command = L"\"" + serviceclient::ServiceExecutablePath() + L"\" -dlog";
        service_ = serviceclient::InstallService(command);
        ASSERT_TRUE(service_) << serviceclient::ErrorText(GetLastError());
        ASSERT_TRUE(serviceclient::StartTobraService(service_.Get())) << serviceclient::ErrorText(GetLastError());
        ASSERT_TRUE(serviceclient::WaitForState(service_.Get(), SERVICE_RUNNING, SERVICE_TIMEOUT_MS));
    }
    void TearDown() override
    {
        ClearSettings();
        if (service_) {
            EXPECT_TRUE(serviceclient::StopAndWait(service_.Get(), SERVICE_TIMEOUT_MS).stopped);
        }
        service_ = serviceclient::ScHandle();
        EXPECT_TRUE(serviceclient::RemoveService());
        if (HasFailure()) {
            for (const std::wstring& line : Log())
                printf("[ LOG      ] %ls\n", line.c_str());
        }
        test::DeleteTree(test::SERVICE_LOG_ROOT);
        standin::Run(L"-reset");
    }

    // The administrators' settings, in the keys the service reads.
    static bool SetSetting(const WCHAR* key, const WCHAR* name, DWORD type, const std::wstring& data)
    {
        return test::WriteRegistryValue(HKEY_LOCAL_MACHINE, key, name, type, data);
    }
    static void ClearSettings()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\norva");
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &handle) ==
            ERROR_SUCCESS) {
            RegDeleteValueW(handle, L"AllowedAdapters");
            RegDeleteValueW(handle, L"AllowedClients");
            RegCloseKey(handle);
        }
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY);
    }
    // The record's value for an address, or "absent".
    static std::string RecordValue(const std::wstring& address)
    {
        char value[128];
        DWORD bytes = sizeof(value);
        if (RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\norva\\Tobra Service\\DisabledAdapters",
                         std::string(address.begin(), address.end()).c_str(), RRF_RT_REG_SZ, nullptr, value,
                         &bytes) != ERROR_SUCCESS)
            return "absent";
        return value;
    }
    // tobractl with the arguments; its output is printed for the record of the run.
    static long Tobractl(const std::wstring& arguments, std::string* output)
    {
        long code = test::RunCaptured(L"\"" + test::ModuleDirectory() + L"\\tobractl.exe\" " + arguments,
                                      REQUEST_TIMEOUT_MS, output);
        printf("[ OUTPUT   ] tobractl %ls: exit code %ld:\n%s", arguments.c_str(), code, output->c_str());
        return code;
    }
    // Stops the service and starts it again, so that it reads the settings as
    // they are now; the state it comes to.
    void RestartService()
    {
        EXPECT_TRUE(serviceclient::StopAndWait(service_.Get(), SERVICE_TIMEOUT_MS).stopped);
        EXPECT_TRUE(serviceclient::StartTobraService(service_.Get())) << serviceclient::ErrorText(GetLastError());
        EXPECT_TRUE(serviceclient::WaitForState(service_.Get(), SERVICE_RUNNING, SERVICE_TIMEOUT_MS));
    }
    std::wstring TargetText() const
    {
        wchar_t text[TOBRA_ADDRESS_TEXT_CHARS];
        TobraFormatHardwareAddress(target_.hardwareAddress.data(), text);
        return text;
    }

    std::string Request(const BYTE* address, BYTE action)
    {
        std::string reply;
        EXPECT_TRUE(serviceclient::SendRequest(wire::AdapterRequest(address, action), &reply, REQUEST_TIMEOUT_MS));
        return wire::Hex(reply);
    }
    std::string Restart() { return Request(target_.hardwareAddress.data(), ACTION_RESTART); }
    std::string Disable() { return Request(target_.hardwareAddress.data(), ACTION_DISABLE); }

    std::vector<std::wstring> Log() const
    {
        return test::ParseLogMessages(test::ReadFileBytes(test::SERVICE_LOG_FILE));
    }
    std::wstring Switching(const wchar_t* what) const
    {
        return std::wstring(L"      ") + what + L" adapter: " + target_.name + L"...";
    }

    // The stand-in's end while the service still runs proves that the service
    // released every reference the stand-in handed out.
    void ExpectStandinEndsWhileServiceRuns()
    {
        EXPECT_TRUE(standin::WaitForServersToExit(EXIT_BOUND_MS));
        SERVICE_STATUS_PROCESS status = {};
        ASSERT_TRUE(serviceclient::QueryStatus(service_.Get(), &status));
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    }

    ConnectionView target_;
    serviceclient::ScHandle service_;
};

TEST_F(StandinService, RestartSwitchesTheAdaptersConnectionOffAndOnOnce)
{
    EXPECT_EQ(DONE_REPLY, Restart());
    ExpectStandinEndsWhileServiceRuns();

    EXPECT_EQ(ActionLine("Disconnect", target_, S_OK) + ActionLine("Connect", target_, S_OK),
              standin::DataFile(L"actions.txt"));
    EXPECT_EQ("", standin::DataFile(L"state.txt"));
    std::vector<std::wstring> log = Log();
    auto disabling = std::find(log.begin(), log.end(), Switching(L"Disabling"));
    auto enabling = std::find(log.begin(), log.end(), Switching(L"Enabling"));
    EXPECT_NE(log.end(), disabling);
    EXPECT_NE(log.end(), enabling);
    EXPECT_LT(disabling, enabling);
    EXPECT_TRUE(FailureLines(log).empty());
}

TEST_F(StandinService, DisableLeavesTheConnectionDisconnected)
{
    EXPECT_EQ(DONE_REPLY, Disable());
    ExpectStandinEndsWhileServiceRuns();

    EXPECT_EQ(ActionLine("Disconnect", target_, S_OK), standin::DataFile(L"actions.txt"));
    EXPECT_EQ(target_.guidText + " disconnected\r\n", standin::DataFile(L"state.txt"));
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(1, std::count(log.begin(), log.end(), Switching(L"Disabling")));
    EXPECT_EQ(0, std::count(log.begin(), log.end(), Switching(L"Enabling")));
    EXPECT_TRUE(FailureLines(log).empty());
}

TEST_F(StandinService, UnknownAddressSwitchesNothing)
{
    for (const ConnectionView& view : standin::ExpectedConnections())
        ASSERT_FALSE(view.hardwareAddress == std::vector<BYTE>(NO_ADAPTER, NO_ADAPTER + 6));
    EXPECT_EQ(DONE_REPLY, Request(NO_ADAPTER, ACTION_RESTART));
    ExpectStandinEndsWhileServiceRuns();

    EXPECT_EQ("", standin::DataFile(L"actions.txt"));
    EXPECT_EQ((std::vector<std::wstring>{FailureLine(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)),
                                         FailureLine(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))}),
              FailureLines(Log()));
}

TEST_F(StandinService, FailingSwitchIsLoggedWithItsCodeExceptRetry)
{
    struct Case {
        const char* action;
        HRESULT code;
        std::vector<std::wstring> logged;
    };
    const HRESULT DENIED = static_cast<HRESULT>(0x80070005);
    const HRESULT RETRY = static_cast<HRESULT>(0x800704D5);
    const Case cases[] = {
        {"Connect", DENIED, {FailureLine(DENIED)}},
        {"Disconnect", DENIED, {FailureLine(DENIED)}},
        {"Connect", RETRY, {}},
        {"Disconnect", RETRY, {}},
    };
    std::string record;
    size_t logged = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + std::to_string(c.code));
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(c.code));
        ASSERT_EQ(0, standin::Run(L"-fail " + standin::Widen(c.action) + L" " + standin::Widen(target_.guidText) +
                                  L" " + code));
        EXPECT_EQ(DONE_REPLY, Restart());
        bool connectFails = std::string(c.action) == "Connect";
        record += ActionLine("Disconnect", target_, connectFails ? S_OK : c.code);
        record += ActionLine("Connect", target_, connectFails ? c.code : S_OK);
        EXPECT_EQ(record, standin::DataFile(L"actions.txt"));
        // A failed connect leaves the connection off.
        EXPECT_EQ(connectFails ? target_.guidText + " disconnected\r\n" : std::string(),
                  standin::DataFile(L"state.txt"));
        std::vector<std::wstring> failures = FailureLines(Log());
        ASSERT_GE(failures.size(), logged);
        EXPECT_EQ(c.logged, std::vector<std::wstring>(failures.begin() + logged, failures.end()));
        logged = failures.size();
    }
    ExpectStandinEndsWhileServiceRuns();
}

DWORD WINAPI KillStandinOnceSwitching(void*)
{
    // The stand-in takes the injected delay when the Disconnect begins; from
    // then on the call is held inside the server.
    DWORD start = GetTickCount();
    while (!standin::DataFile(L"inject.txt").empty() && GetTickCount() - start < 15000)
        Sleep(20);
    Sleep(200);
    for (DWORD id : standin::ServerProcesses()) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process != nullptr) {
            TerminateProcess(process, 9);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    return 0;
}

TEST_F(StandinService, StandinKilledMidRunIsLoggedAndTheServiceKeepsServing)
{
    ASSERT_EQ(0, standin::Run(L"-delay Disconnect " + standin::Widen(target_.guidText) + L" 20000"));
    HANDLE killer = CreateThread(nullptr, 0, KillStandinOnceSwitching, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, killer);
    DWORD start = GetTickCount();
    EXPECT_EQ(DONE_REPLY, Restart());
    DWORD elapsed = GetTickCount() - start;
    WaitForSingleObject(killer, INFINITE);
    CloseHandle(killer);
    EXPECT_LT(elapsed, 15000u) << "the request waited out the injected delay";

    // Both passes failed: the disconnect in flight, then the enable pass's
    // activation, which Wine hands the dead server's registration.
    std::vector<std::wstring> log = Log();
    std::vector<std::wstring> failures = FailureLines(log);
    ASSERT_EQ(2u, failures.size());
    printf("[ INFO     ] the call in flight: %ls\n", failures[0].c_str());
    EXPECT_NE(FailureLine(static_cast<HRESULT>(0x800704D5)), failures[0]);
    EXPECT_EQ(FailureLine(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)), failures[1]);
    auto disabling = std::find(log.begin(), log.end(), Switching(L"Disabling"));
    EXPECT_LT(disabling, std::find(log.begin(), log.end(), failures[0]));
    EXPECT_EQ(0, std::count(log.begin(), log.end(), Switching(L"Enabling")));
    EXPECT_EQ("", standin::DataFile(L"actions.txt"));

    // The service still serves, and the next restart gets a fresh stand-in.
    EXPECT_EQ(DONE_REPLY, Restart());
    EXPECT_EQ(ActionLine("Disconnect", target_, S_OK) + ActionLine("Connect", target_, S_OK),
              standin::DataFile(L"actions.txt"));
    EXPECT_EQ(2u, FailureLines(Log()).size());
    ExpectStandinEndsWhileServiceRuns();
}

// What the service left off survives its restart, and an enable switches it
// back on and forgets it. Wine keeps a disabled adapter in its list, so this
// passes with or without the record; the next test takes the record's path.
TEST_F(StandinService, DisabledAdapterIsRecordedAndEnabledAfterAServiceRestart)
{
    std::string output;
    EXPECT_EQ(0, Tobractl(L"disable " + TargetText(), &output));
    EXPECT_EQ(target_.guidText, RecordValue(TargetText()));
    EXPECT_EQ(target_.guidText + " disconnected\r\n", standin::DataFile(L"state.txt"));

    RestartService();
    EXPECT_EQ(0, Tobractl(L"enable " + TargetText(), &output));
    EXPECT_NE(std::string::npos, output.find("Enabled ")) << output;
    EXPECT_EQ("", standin::DataFile(L"state.txt")) << "connected again";
    EXPECT_EQ("absent", RecordValue(TargetText()));
    EXPECT_EQ(ActionLine("Disconnect", target_, S_OK) + ActionLine("Connect", target_, S_OK),
              standin::DataFile(L"actions.txt"));

    // No adapter and no record: nothing switched.
    wchar_t unknown[TOBRA_ADDRESS_TEXT_CHARS];
    TobraFormatHardwareAddress(NO_ADAPTER, unknown);
    EXPECT_EQ(7, Tobractl(std::wstring(L"enable ") + unknown, &output));
    EXPECT_EQ("No adapter has the address 02-00-5E-7B-0B-A0.\n", output);
    // Version 1 knows no enable: not done, nothing switched.
    EXPECT_EQ("54 42 01 00 01 00 00 00 00 00 00 00", Request(target_.hardwareAddress.data(), ACTION_ENABLE));
    EXPECT_EQ(ActionLine("Disconnect", target_, S_OK) + ActionLine("Connect", target_, S_OK),
              standin::DataFile(L"actions.txt"));
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(1, std::count(log.begin(), log.end(), Switching(L"Enabling")));
    ExpectStandinEndsWhileServiceRuns();
}

// The record's own path: an address that no adapter has, recorded with a
// connection's GUID (as Windows leaves the disabled adapter out of the list).
TEST_F(StandinService, RecordedConnectionIsEnabledWhenNoAdapterHasTheAddress)
{
    // Off through the service, and its record moved to an address no adapter has.
    auto disableUnderUnknownAddress = [this] {
        EXPECT_EQ(DONE_REPLY, Disable());
        // The enable then starts a server of its own rather than racing a lingering one's end.
        EXPECT_TRUE(standin::WaitForServersToExit(EXIT_BOUND_MS));
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY,
                                                    TargetText().c_str()));
        EXPECT_TRUE(test::WriteRegistryValue(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY, L"02-00-5E-7B-0B-A0",
                                             REG_SZ, standin::Widen(target_.guidText)));
        EXPECT_EQ(target_.guidText + " disconnected\r\n", standin::DataFile(L"state.txt"));
    };
    disableUnderUnknownAddress();
    std::string output;
    EXPECT_EQ(0, Tobractl(L"list", &output));
    EXPECT_NE(std::string::npos, output.find("02-00-5E-7B-0B-A0  disabled  " + target_.guidText)) << output;

    TobraAdapterReport report;
    EXPECT_EQ(TobraEnableAdapterWithReport(nullptr, NO_ADAPTER, REQUEST_TIMEOUT_MS, nullptr, &report), TOBRA_DONE);
    EXPECT_EQ(report.outcome, static_cast<unsigned long>(TOBRA_OUTCOME_SWITCHED));
    EXPECT_EQ(report.onResult, 0ul);
    EXPECT_EQ("", standin::DataFile(L"state.txt")) << "connected again";
    EXPECT_EQ("absent", RecordValue(L"02-00-5E-7B-0B-A0"));

    // Once more through tobractl, which names it by its address alone.
    disableUnderUnknownAddress();
    EXPECT_EQ(0, Tobractl(L"enable 02-00-5E-7B-0B-A0", &output));
    EXPECT_EQ("Enabled 02-00-5E-7B-0B-A0.\n", output);
    EXPECT_EQ("", standin::DataFile(L"state.txt"));
}

// A version 2 request is answered with what it did, through the library and
// through tobractl; a version 1 request still gets its 12 bytes, and a
// version 3 request nothing.
struct ReportCase {
    const char* name;
    BYTE action;
    bool unknownAddress;
    const wchar_t* failing;  // the switch the stand-in fails with 0x80070005, or null
    bool unregistered;       // no connection manager at all
    unsigned long outcome;
    unsigned long offResult, onResult;
    long exitCode;  // tobractl's
};

TEST_F(StandinService, VersionTwoReportsWhatEachRequestDid)
{
    const unsigned long DENIED = 0x80070005, NOT_FOUND = 0x80070002, NOT_REGISTERED = 0x80040154;
    const ReportCase cases[] = {
        {"restart switched", ACTION_RESTART, false, nullptr, false, TOBRA_OUTCOME_SWITCHED, 0, 0, 0},
        {"disable switched", ACTION_DISABLE, false, nullptr, false, TOBRA_OUTCOME_SWITCHED, 0, 0, 0},
        {"no adapter", ACTION_RESTART, true, nullptr, false, TOBRA_OUTCOME_NO_ADAPTER, NOT_FOUND, NOT_FOUND, 7},
        {"connect fails", ACTION_RESTART, false, L"Connect", false, TOBRA_OUTCOME_FAILED, 0, DENIED, 8},
        {"no manager", ACTION_RESTART, false, nullptr, true, TOBRA_OUTCOME_FAILED, NOT_REGISTERED, NOT_REGISTERED, 8},
    };
    // Version 1 as before, byte for byte (this also waits for the pipe); version 3 gets nothing.
    EXPECT_EQ(DONE_REPLY, Request(NO_ADAPTER, ACTION_RESTART));
    std::string request = wire::AdapterRequest(NO_ADAPTER, ACTION_RESTART);
    request[2] = 3;
    std::string reply;
    EXPECT_TRUE(serviceclient::SendRequest(request, &reply, REQUEST_TIMEOUT_MS));
    EXPECT_EQ(reply, "");

    const std::wstring tobractl = L"\"" + test::ModuleDirectory() + L"\\tobractl.exe\" ";
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(c.name);
        const BYTE* address = c.unknownAddress ? NO_ADAPTER : target_.hardwareAddress.data();
        wchar_t text[TOBRA_ADDRESS_TEXT_CHARS];
        TobraFormatHardwareAddress(address, text);
        std::wstring command = tobractl + (c.action == ACTION_RESTART ? L"restart " : L"disable ") + text;
        if (c.unregistered) {
            ASSERT_TRUE(standin::WaitForServersToExit(EXIT_BOUND_MS));
            ASSERT_EQ(0, standin::Run(L"-unregister"));
        }
        for (int run = 0; run < 2; ++run) {
            if (c.failing != nullptr) {
                ASSERT_EQ(0, standin::Run(L"-fail " + std::wstring(c.failing) + L" " +
                                          standin::Widen(target_.guidText) + L" 0x80070005"));
            }
            if (run == 0) {
                TobraOutcome outcome;
                TobraAdapterReport report;
                TobraResult result = TobraSendAdapterRequestWithReport(nullptr, address, c.action, REQUEST_TIMEOUT_MS,
                                                                       &outcome, &report);
                EXPECT_EQ(result, TOBRA_DONE);
                EXPECT_EQ(report.reported, 1);
                EXPECT_EQ(report.outcome, c.outcome);
                EXPECT_EQ(report.offResult, c.offResult);
                EXPECT_EQ(report.onResult, c.onResult);
            } else {
                std::string output;
                long code = test::RunCaptured(command, REQUEST_TIMEOUT_MS, &output);
                printf("[ OUTPUT   ] %s: exit code %ld: %s", c.name, code, output.c_str());
                EXPECT_EQ(code, c.exitCode) << output;
            }
        }
        if (c.unregistered) {
            ASSERT_EQ(0, standin::Run(L"-register -linger " + std::to_wstring(TEST_LINGER_MS)));
        }
    }
}

std::wstring Environment(const wchar_t* name)
{
    WCHAR value[MAX_PATH * 2] = L"";
    DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
    return length > 0 && length < MAX_PATH * 2 ? value : L"";
}

// The Node.js module (client/node), installed from its npm tarball, under
// node.exe for Windows: against the running service and a version 1 server of
// its own, beside tobractl --json; then, with the service stopped, against a
// program of its own on the service's pipe name. scripts/test fetches node.exe
// and the build passes its path on.
TEST_F(StandinService, NodeModuleReportsWhatEachRequestDid)
{
    std::wstring node = Environment(L"TOBRA_NODE_EXE");
    if (node.empty())
        GTEST_SKIP() << "node.exe for Windows is not installed (scripts/test fetches it)";
    EXPECT_EQ(DONE_REPLY, Request(NO_ADAPTER, ACTION_RESTART));  // also waits for the pipe
    wchar_t target[TOBRA_ADDRESS_TEXT_CHARS];
    wchar_t unknown[TOBRA_ADDRESS_TEXT_CHARS];
    TobraFormatHardwareAddress(target_.hardwareAddress.data(), target);
    TobraFormatHardwareAddress(NO_ADAPTER, unknown);
    std::wstring command = L"\"" + node + L"\" \"" + Environment(L"TOBRA_NODE_TEST") + L"\" \"" +
                           Environment(L"TOBRA_NODE_MODULE") + L"\" " + target + L" " + unknown + L" \"" +
                           test::ModuleDirectory() + L"\\tobractl.exe\"";
    SetEnvironmentVariableW(L"NODE_SKIP_PLATFORM_CHECK", L"1");
    std::string output;
    long code = test::RunCapturedInFiles(command, 120000, &output);
    printf("[ OUTPUT   ] node: exit code %ld:\n%s", code, output.c_str());
    EXPECT_EQ(code, 0) << output;
    EXPECT_EQ(output.find("FAILED"), std::string::npos);
    EXPECT_NE(output.find("ok restart of a real adapter is switched"), std::string::npos);
    EXPECT_NE(output.find("ok tobractl --json for switched parses and matches the module"), std::string::npos);

    ASSERT_TRUE(serviceclient::StopAndWait(service_.Get(), SERVICE_TIMEOUT_MS).stopped);
    code = test::RunCapturedInFiles(command + L" squatter", 120000, &output);
    printf("[ OUTPUT   ] node, squatter: exit code %ld:\n%s", code, output.c_str());
    EXPECT_EQ(code, 0) << output;
    EXPECT_EQ(output.find("FAILED"), std::string::npos);
    EXPECT_NE(output.find("ok a program on the service's pipe name is refused"), std::string::npos);
}

// --- The administrators' policy, in the registry, read by the service at its start ---

TEST_F(StandinService, OnlyTheAdaptersThePolicyNamesAreSwitched)
{
    // The installer's list names another adapter: the target is refused.
    ASSERT_TRUE(SetSetting(SETTINGS_KEY, L"AllowedAdapters", REG_MULTI_SZ, test::MultiString({L"02-00-5E-7B-0B-A0"})));
    RestartService();
    EXPECT_EQ("54 42 01 00 01 00 00 00 00 00 00 00", Restart()) << "version 1: not done";
    TobraOutcome outcome;
    TobraAdapterReport report;
    EXPECT_EQ(
        TobraRestartAdapterWithReport(nullptr, target_.hardwareAddress.data(), REQUEST_TIMEOUT_MS, &outcome, &report),
        TOBRA_NOT_DONE);
    EXPECT_EQ(report.outcome, static_cast<unsigned long>(TOBRA_OUTCOME_REFUSED));
    std::string output;
    long code = test::RunCaptured(L"\"" + test::ModuleDirectory() + L"\\tobractl.exe\" disable " + TargetText(),
                                  REQUEST_TIMEOUT_MS, &output);
    printf("[ OUTPUT   ] tobractl disable, a refused adapter: exit code %ld: %s", code, output.c_str());
    EXPECT_EQ(code, 10);
    EXPECT_EQ(TobraEnableAdapterWithReport(nullptr, target_.hardwareAddress.data(), REQUEST_TIMEOUT_MS, &outcome,
                                           &report),
              TOBRA_NOT_DONE);
    EXPECT_EQ(report.outcome, static_cast<unsigned long>(TOBRA_OUTCOME_REFUSED));
    EXPECT_EQ("", standin::DataFile(L"actions.txt")) << "the stand-in switched nothing";
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(4, std::count(log.begin(), log.end(), L"Adapter " + TargetText() + L" is not allowed by policy"));

    // Group Policy's list wins, value by value: now the target is the one allowed.
    ASSERT_TRUE(SetSetting(GROUP_POLICY_KEY, L"AllowedAdapters", REG_MULTI_SZ,
                           test::MultiString({L" " + TargetText() + L" "})));
    RestartService();
    EXPECT_EQ(DONE_REPLY, Restart());
    EXPECT_EQ(ActionLine("Disconnect", target_, S_OK) + ActionLine("Connect", target_, S_OK),
              standin::DataFile(L"actions.txt"));

    // Empty values are absent: every adapter again.
    ASSERT_TRUE(SetSetting(GROUP_POLICY_KEY, L"AllowedAdapters", REG_MULTI_SZ, test::MultiString({})));
    ASSERT_TRUE(SetSetting(SETTINGS_KEY, L"AllowedAdapters", REG_MULTI_SZ, test::MultiString({})));
    ASSERT_TRUE(SetSetting(SETTINGS_KEY, L"AllowedClients", REG_SZ, L""));
    RestartService();
    EXPECT_EQ(DONE_REPLY, Disable());
    EXPECT_EQ(target_.guidText + " disconnected\r\n", standin::DataFile(L"state.txt"));
    ExpectStandinEndsWhileServiceRuns();
}

TEST_F(StandinService, AllowedClientsGiveThePipeAnAccessListOfItsOwn)
{
    ASSERT_TRUE(SetSetting(GROUP_POLICY_KEY, L"AllowedClients", REG_SZ, L"S-1-5-4"));
    RestartService();
    HANDLE pipe = serviceclient::ConnectControlPipe(SERVICE_TIMEOUT_MS);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    std::vector<std::string> entries = test::AccessEntries(pipe);
    CloseHandle(pipe);
    EXPECT_EQ(entries,
              (std::vector<std::string>{"0 S-1-5-18 0x1f01ff", "0 S-1-5-32-544 0x1f01ff", "0 S-1-5-4 0x12019b"}));

    // Several groups, as a multi-string: exactly those, in order, and still no Everyone.
    ASSERT_TRUE(SetSetting(GROUP_POLICY_KEY, L"AllowedClients", REG_MULTI_SZ,
                           test::MultiString({L"S-1-5-32-556", L" S-1-5-4", L"S-1-5-21-1-2-3-1105"})));
    RestartService();
    pipe = serviceclient::ConnectControlPipe(SERVICE_TIMEOUT_MS);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    entries = test::AccessEntries(pipe);
    LPWSTR sddl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        printf("[ OUTPUT   ] the pipe's descriptor for three SIDs: %ls\n", sddl);
        LocalFree(sddl);
    }
    if (descriptor != nullptr)
        LocalFree(descriptor);
    CloseHandle(pipe);
    for (const std::string& entry : entries)
        printf("[ OUTPUT   ] the pipe's access list for three SIDs: %s\n", entry.c_str());
    EXPECT_EQ(entries, (std::vector<std::string>{"0 S-1-5-18 0x1f01ff", "0 S-1-5-32-544 0x1f01ff",
                                                 "0 S-1-5-32-556 0x12019b", "0 S-1-5-4 0x12019b",
                                                 "0 S-1-5-21-1-2-3-1105 0x12019b"}));
    // Wine runs every process as one user and enforces no pipe access list:
    // that a non-member is turned away shows only on Windows.
}

struct BadSetting {
    const char* name;
    const WCHAR* key;
    const WCHAR* value;
    DWORD type;
    std::wstring data;
};

TEST_F(StandinService, AnInvalidSettingStopsTheStartWithInvalidData)
{
    const BadSetting cases[] = {
        {"not an address", SETTINGS_KEY, L"AllowedAdapters", REG_MULTI_SZ, test::MultiString({L"00-11-22-33-44"})},
        {"an empty entry before an address", SETTINGS_KEY, L"AllowedAdapters", REG_MULTI_SZ,
         test::MultiString({L"", L"00-11-22-33-44-55"})},
        {"addresses as one string", GROUP_POLICY_KEY, L"AllowedAdapters", REG_SZ, L"00-11-22-33-44-55"},
        {"an alias", SETTINGS_KEY, L"AllowedClients", REG_SZ, L"BU"},
        {"not a SID", GROUP_POLICY_KEY, L"AllowedClients", REG_SZ, L"S-1-x-5"},
        {"an empty entry between SIDs", GROUP_POLICY_KEY, L"AllowedClients", REG_MULTI_SZ,
         test::MultiString({L"S-1-5-4", L"", L"S-1-5-32-545"})},
        {"33 SIDs", SETTINGS_KEY, L"AllowedClients", REG_MULTI_SZ, test::MultiString(test::LongestSids(33))},
    };
    for (const BadSetting& c : cases) {
        SCOPED_TRACE(c.name);
        // The log of this start alone.
        ASSERT_TRUE(serviceclient::StopAndWait(service_.Get(), SERVICE_TIMEOUT_MS).stopped);
        test::DeleteTree(test::SERVICE_LOG_ROOT);
        ClearSettings();
        ASSERT_TRUE(SetSetting(c.key, c.value, c.type, c.data));
        ASSERT_TRUE(serviceclient::StartTobraService(service_.Get())) << serviceclient::ErrorText(GetLastError());
        SERVICE_STATUS_PROCESS status = {};
        EXPECT_TRUE(serviceclient::WaitForState(service_.Get(), SERVICE_STOPPED, SERVICE_TIMEOUT_MS, &status));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), status.dwWin32ExitCode);
        std::vector<std::wstring> log = Log();
        EXPECT_EQ(1, std::count(log.begin(), log.end(), L"Setting " + std::wstring(c.value) + L" is invalid"));
        EXPECT_EQ(0, std::count(log.begin(), log.end(), L"*** Tobra Service: Start ***")) << "no window, no pipe";
    }
    ClearSettings();
    ASSERT_TRUE(serviceclient::StartTobraService(service_.Get()));
    EXPECT_TRUE(serviceclient::WaitForState(service_.Get(), SERVICE_RUNNING, SERVICE_TIMEOUT_MS));
}

TEST_F(StandinService, MeasuredRestartWithAndWithoutARunningStandin)
{
    auto timed = [&]() {
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        EXPECT_EQ(DONE_REPLY, Restart());
        QueryPerformanceCounter(&end);
        return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    };
    double cold = timed();
    ExpectStandinEndsWhileServiceRuns();

    // A manager held by this test keeps the stand-in running across the request.
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    INetConnectionManager* manager = nullptr;
    ASSERT_EQ(S_OK, standin::CreateManager(&manager));
    double warm = timed();
    manager->Release();
    CoUninitialize();
    ExpectStandinEndsWhileServiceRuns();

    printf("[ MEASURE  ] restart request, client to reply, COM starts the stand-in: %.1f ms\n", cold);
    printf("[ MEASURE  ] restart request, client to reply, stand-in running:        %.1f ms\n", warm);
    RecordProperty("restart_cold_ms", static_cast<int>(cold));
    RecordProperty("restart_warm_ms", static_cast<int>(warm));
    EXPECT_EQ(ActionLine("Disconnect", target_, S_OK) + ActionLine("Connect", target_, S_OK) +
                  ActionLine("Disconnect", target_, S_OK) + ActionLine("Connect", target_, S_OK),
              standin::DataFile(L"actions.txt"));
}

}  // namespace
