// The connection manager stand-in reached as the service reaches the real
// one: COM starts its server, calls and failures cross the process boundary,
// and the server ends once every reference has been released.
#include "standin/standin_harness.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include "support/test_support.h"

namespace {

using standin::ConnectionView;

constexpr wchar_t CLASS_KEY[] = L"Software\\Classes\\CLSID\\{BA126AD1-2166-11D1-B1D0-00805FC1270E}";
constexpr wchar_t ENUMERATOR_INTERFACE_KEY[] = L"Software\\Classes\\Interface\\{C08956A0-1CD3-11D1-B1C5-00805FC1270E}";
using standin::EXIT_BOUND_MS;
using standin::TEST_LINGER_MS;

std::string ActionLine(const char* action, const ConnectionView& connection, HRESULT result)
{
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(result));
    std::string name(connection.name.begin(), connection.name.end());
    return std::string(action) + " " + connection.guidText + " " + code + " " + name + "\r\n";
}

bool KeyExists(const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::wstring ReadDefaultValue(const std::wstring& path)
{
    wchar_t value[MAX_PATH] = L"";
    DWORD size = sizeof(value) - sizeof(wchar_t);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"";
    RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return value;
}

class StandinTest : public standin::RegisteredStandinTest {
protected:
    void SetUp() override
    {
        RegisteredStandinTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        expected_ = standin::ExpectedConnections();
        ASSERT_FALSE(expected_.empty()) << "the prefix reports no adapter to mirror";
    }
    void TearDown() override
    {
        CoUninitialize();
        standin::Run(L"-reset");
    }

    const ConnectionView& First() const { return expected_.front(); }

    std::vector<ConnectionView> expected_;
};

TEST_F(StandinTest, UnregisterLeavesTheClassUnknownAndRegisterRestoresIt)
{
    ASSERT_EQ(0, standin::Run(L"-unregister"));
    EXPECT_FALSE(KeyExists(CLASS_KEY));
    EXPECT_FALSE(KeyExists(ENUMERATOR_INTERFACE_KEY));
    INetConnectionManager* manager = nullptr;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, standin::CreateManager(&manager));
    // Unregistering twice is not an error.
    EXPECT_EQ(0, standin::Run(L"-unregister"));

    ASSERT_EQ(0, standin::Run(L"-register -linger " + std::to_wstring(TEST_LINGER_MS)));
    ASSERT_EQ(S_OK, standin::CreateManager(&manager));
    manager->Release();
}

// On Windows these keys are the platform's manager: never overwrite or delete them.
TEST_F(StandinTest, ForeignRegistrationIsLeftAlone)
{
    struct Case {
        const char* what;
        std::wstring key;
        std::wstring value;
        long unregisterExit;  // 2: refused; 0: nothing of the stand-in's to remove
    };
    const Case cases[] = {
        {"class", std::wstring(CLASS_KEY) + L"\\LocalServer32", L"C:\\windows\\system32\\other.exe", 2},
        {"interface", std::wstring(ENUMERATOR_INTERFACE_KEY) + L"\\ProxyStubClsid32",
         L"{00020424-0000-0000-C000-000000000046}", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, standin::Run(L"-unregister"));
        ASSERT_TRUE(test::WriteRegistryValue(HKEY_LOCAL_MACHINE, c.key.c_str(), nullptr, REG_SZ, c.value));

        EXPECT_EQ(2, standin::Run(L"-register"));
        EXPECT_EQ(c.value, ReadDefaultValue(c.key));
        EXPECT_EQ(c.unregisterExit, standin::Run(L"-unregister"));
        EXPECT_EQ(c.value, ReadDefaultValue(c.key));
        // Nor does the server serve a class that is not registered as its own.
        EXPECT_EQ(2, standin::Run(L"-Embedding"));

        std::wstring root = c.key.substr(0, c.key.find_last_of(L'\\'));
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str()));
    }
    EXPECT_EQ(0, standin::Run(L"-register -linger " + std::to_wstring(TEST_LINGER_MS)));
}

TEST_F(StandinTest, ConnectionsMirrorTheAdaptersOfThePrefix)
{
    INetConnectionManager* manager = nullptr;
    ASSERT_EQ(S_OK, standin::CreateManager(&manager));
    std::vector<ConnectionView> views;
    EXPECT_EQ(S_OK, standin::Enumerate(manager, &views));

    ASSERT_EQ(expected_.size(), views.size());
    for (size_t i = 0; i < views.size(); ++i) {
        SCOPED_TRACE(expected_[i].guidText);
        EXPECT_EQ(expected_[i].guidText, views[i].guidText);
        EXPECT_EQ(expected_[i].name, views[i].name);
        EXPECT_EQ(expected_[i].deviceName, views[i].deviceName);
        EXPECT_EQ(NCS_CONNECTED, views[i].status);
        EXPECT_EQ(NCM_LAN, views[i].mediaType);
    }

    // The end of the enumeration: a count other than 1, and again after Reset
    // only after every connection once more.
    IEnumNetConnection* enumerator = nullptr;
    ASSERT_EQ(S_OK, manager->EnumConnections(NCME_DEFAULT, &enumerator));
    INetConnection* batch[16] = {};
    ULONG fetched = 99;
    ASSERT_LT(views.size(), 16u);
    EXPECT_EQ(S_FALSE, enumerator->Next(16, batch, &fetched));
    EXPECT_EQ(views.size(), fetched);
    for (ULONG i = 0; i < fetched; ++i)
        batch[i]->Release();
    INetConnection* connection = nullptr;
    EXPECT_EQ(S_FALSE, enumerator->Next(1, &connection, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(S_OK, enumerator->Reset());
    EXPECT_EQ(S_OK, enumerator->Next(1, &connection, &fetched));
    ASSERT_EQ(1u, fetched);
    connection->Release();
    enumerator->Release();
    manager->Release();
}

TEST_F(StandinTest, DisconnectAndConnectSwitchTheStatusAndAreRecorded)
{
    INetConnectionManager* manager = nullptr;
    ASSERT_EQ(S_OK, standin::CreateManager(&manager));
    INetConnection* connection = standin::FindConnection(manager, First().guidText);
    ASSERT_NE(nullptr, connection);

    ConnectionView view = {};
    EXPECT_EQ(S_OK, connection->Disconnect());
    ASSERT_EQ(S_OK, standin::ViewConnection(connection, &view));
    EXPECT_EQ(NCS_DISCONNECTED, view.status);
    EXPECT_EQ(First().guidText + " disconnected\r\n", standin::DataFile(L"state.txt"));
    long exitCode = -1;
    std::string listing = standin::RunForOutput(L"-list", &exitCode);
    EXPECT_EQ(0, exitCode);
    EXPECT_NE(std::string::npos, listing.find(First().guidText)) << listing;
    EXPECT_NE(std::string::npos, listing.find("disconnected")) << listing;

    EXPECT_EQ(S_OK, connection->Connect());
    ASSERT_EQ(S_OK, standin::ViewConnection(connection, &view));
    EXPECT_EQ(NCS_CONNECTED, view.status);
    EXPECT_EQ("", standin::DataFile(L"state.txt"));
    listing = standin::RunForOutput(L"-list", &exitCode);
    EXPECT_EQ(std::string::npos, listing.find("disconnected")) << listing;

    EXPECT_EQ(ActionLine("Disconnect", First(), S_OK) + ActionLine("Connect", First(), S_OK),
              standin::DataFile(L"actions.txt"));
    connection->Release();
    manager->Release();
}

TEST_F(StandinTest, StatusOutlivesTheServer)
{
    ASSERT_EQ(S_OK, standin::SwitchConnection(First().guidText, false));
    ASSERT_TRUE(standin::WaitForServersToExit(EXIT_BOUND_MS));

    INetConnectionManager* manager = nullptr;
    ASSERT_EQ(S_OK, standin::CreateManager(&manager));
    std::vector<ConnectionView> views;
    ASSERT_EQ(S_OK, standin::Enumerate(manager, &views));
    manager->Release();
    for (const ConnectionView& view : views) {
        SCOPED_TRACE(view.guidText);
        EXPECT_EQ(view.guidText == First().guidText ? NCS_DISCONNECTED : NCS_CONNECTED, view.status);
    }
}

TEST_F(StandinTest, InjectedFailureCrossesTheProcessBoundaryOnce)
{
    struct Case {
        const char* action;
        HRESULT code;
    };
    const Case cases[] = {
        {"Disconnect", static_cast<HRESULT>(0x80070005)},  // access denied
        {"Connect", static_cast<HRESULT>(0x8007048F)},     // device not connected
        {"Disconnect", static_cast<HRESULT>(0x800704D5)},  // the code the service keeps quiet
        {"Connect", static_cast<HRESULT>(0x80004005)},
    };
    const std::string& guid = First().guidText;
    std::string record;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        bool connect = std::string(c.action) == "Connect";
        // A connect is tried on a disconnected connection, a disconnect on a connected one.
        ASSERT_EQ(S_OK, standin::SwitchConnection(guid, !connect));
        record += ActionLine(connect ? "Disconnect" : "Connect", First(), S_OK);
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(c.code));
        ASSERT_EQ(0, standin::Run(L"-fail " + standin::Widen(c.action) + L" " + standin::Widen(guid) + L" " + code));

        EXPECT_EQ(c.code, standin::SwitchConnection(guid, connect));
        record += ActionLine(c.action, First(), c.code);
        // Nothing was switched: the status is still the one before the call.
        EXPECT_EQ(connect ? guid + " disconnected\r\n" : std::string(), standin::DataFile(L"state.txt"));

        EXPECT_EQ(S_OK, standin::SwitchConnection(guid, connect));
        record += ActionLine(c.action, First(), S_OK);
    }
    EXPECT_EQ(record, standin::DataFile(L"actions.txt"));
    EXPECT_EQ("", standin::DataFile(L"inject.txt"));
}

TEST_F(StandinTest, InjectionAppliesOnlyToItsConnection)
{
    if (expected_.size() < 2)
        GTEST_SKIP() << "needs two adapters in the prefix";
    const std::string& target = expected_[1].guidText;
    ASSERT_EQ(0, standin::Run(L"-fail Disconnect " + standin::Widen(target) + L" 0x80004005"));
    EXPECT_EQ(S_OK, standin::SwitchConnection(First().guidText, false));
    EXPECT_EQ(E_FAIL, standin::SwitchConnection(target, false));
    EXPECT_EQ(First().guidText + " disconnected\r\n", standin::DataFile(L"state.txt"));
}

TEST_F(StandinTest, BadInjectionArgumentsAreRefused)
{
    const wchar_t* cases[] = {
        L"-fail Connect",
        L"-fail Restart {00000004-0000-0000-0000-4E6574446576} 0x80004005",
        L"-fail Connect 00000004-0000-0000-0000-4E6574446576 0x80004005",
        L"-fail Connect {00000004-0000-0000-0000-4E6574446576} fail",
        L"-delay Disconnect {00000004-0000-0000-0000-4E6574446576} 10x",
        L"-register -linger",
        L"-frobnicate",
    };
    for (const wchar_t* arguments : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(arguments)));
        long exitCode = -1;
        std::string output = standin::RunForOutput(arguments, &exitCode);
        EXPECT_EQ(2, exitCode);
        EXPECT_NE(std::string::npos, output.find("-fail ACTION {GUID} HRESULT")) << output;
    }
    EXPECT_EQ("", standin::DataFile(L"inject.txt"));
}

// The server's exit is the proof that the client gave back every reference,
// including those that crossed the process boundary.
TEST_F(StandinTest, ServerLivesWhileAnyObjectIsHeldAndEndsAfterTheLast)
{
    INetConnectionManager* manager = nullptr;
    ASSERT_EQ(S_OK, standin::CreateManager(&manager));
    INetConnection* connection = standin::FindConnection(manager, First().guidText);
    manager->Release();
    ASSERT_NE(nullptr, connection);

    std::vector<DWORD> servers = standin::ServerProcesses();
    ASSERT_EQ(1u, servers.size());
    HANDLE server = OpenProcess(SYNCHRONIZE, FALSE, servers[0]);
    ASSERT_NE(nullptr, server);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(server, 3 * TEST_LINGER_MS));

    connection->Release();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, EXIT_BOUND_MS));
    CloseHandle(server);
}

TEST_F(StandinTest, BackToBackPassesShareOneServer)
{
    ASSERT_EQ(S_OK, standin::SwitchConnection(First().guidText, false));
    std::vector<DWORD> first = standin::ServerProcesses();
    ASSERT_EQ(S_OK, standin::SwitchConnection(First().guidText, true));
    EXPECT_EQ(first, standin::ServerProcesses());
    EXPECT_TRUE(standin::WaitForServersToExit(EXIT_BOUND_MS));
}

// Not a pass/fail check beyond loose bounds: prints what a switch costs.
TEST_F(StandinTest, MeasuredCosts)
{
    LARGE_INTEGER frequency, t0, t1, t2, t3;
    QueryPerformanceFrequency(&frequency);
    auto ms = [&](LARGE_INTEGER a, LARGE_INTEGER b) {
        return 1000.0 * static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(frequency.QuadPart);
    };
    INetConnectionManager* first = nullptr;
    QueryPerformanceCounter(&t0);
    ASSERT_EQ(S_OK, standin::CreateManager(&first));
    QueryPerformanceCounter(&t1);
    INetConnectionManager* second = nullptr;
    ASSERT_EQ(S_OK, standin::CreateManager(&second));
    QueryPerformanceCounter(&t2);
    second->Release();

    INetConnection* connection = standin::FindConnection(first, First().guidText);
    ASSERT_NE(nullptr, connection);
    constexpr int ROUNDS = 10;
    QueryPerformanceCounter(&t3);
    for (int i = 0; i < ROUNDS; ++i) {
        ASSERT_EQ(S_OK, connection->Disconnect());
        ASSERT_EQ(S_OK, connection->Connect());
    }
    LARGE_INTEGER t4;
    QueryPerformanceCounter(&t4);
    connection->Release();
    first->Release();

    double start = ms(t0, t1);
    double running = ms(t1, t2);
    double roundTrip = ms(t3, t4) / ROUNDS;
    printf("first CoCreateInstance (server start): %.1f ms\n", start);
    printf("CoCreateInstance, server running:      %.1f ms\n", running);
    printf("Disconnect+Connect round trip:         %.1f ms\n", roundTrip);
    RecordProperty("server_start_ms", static_cast<int>(start));
    RecordProperty("running_create_ms", static_cast<int>(running));
    RecordProperty("round_trip_ms", static_cast<int>(roundTrip));
    EXPECT_LT(roundTrip, 1000.0);
}

}  // namespace
