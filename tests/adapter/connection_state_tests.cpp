// Switching a connection through the fake Network Connections manager: which
// connections are switched, which code is the result, what is logged, and
// that every object and record is given back on every path.
#include "adapter_fakes.h"

#include <gmock/gmock.h>

#include "adapter/adapter_control.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char NAME[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
const GUID GUID_OF_NAME = fake::MakeGuid(0x18);
const GUID NEAR_MISS = fake::MakeGuid(0x19);  // differs in the last digit only

const HRESULT NOT_FOUND = static_cast<HRESULT>(0x80070002UL);
const HRESULT RETRY = static_cast<HRESULT>(0x800704D5UL);
const HRESULT ACCESS_DENIED = static_cast<HRESULT>(0x80070005UL);
const HRESULT OUT_OF_MEMORY = static_cast<HRESULT>(0x8007000EUL);
const HRESULT DISCONNECTED = static_cast<HRESULT>(0x80010108UL);
const HRESULT CLASS_NOT_REGISTERED = static_cast<HRESULT>(0x80040154UL);

std::wstring FailureLine(const wchar_t* code)
{
    return std::wstring(L"Could not enable or disable connection (0x") + code + L")";
}

std::vector<std::string> Switches()
{
    std::vector<std::string> switches;
    for (const std::string& call : fake::g_record.calls)
        if (call.rfind("Connect ", 0) == 0 || call.rfind("Disconnect ", 0) == 0)
            switches.push_back(call);
    return switches;
}

TEST_F(AdapterTest, ManagerIsAskedForOutOfProcessByItsPublishedIds)
{
    const CLSID MANAGER = {0xBA126AD1, 0x2166, 0x11D1, {0xB1, 0xD0, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
    const IID MANAGER_INTERFACE = {0xC08956A2, 0x1CD3, 0x11D1, {0xB1, 0xC5, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
    SetConnectionState(NAME, 0);

    ASSERT_EQ(fake::g_record.creates.size(), 1u);
    const fake::CreateCall& create = fake::g_record.creates[0];
    EXPECT_TRUE(IsEqualCLSID(create.classId, MANAGER));
    EXPECT_TRUE(IsEqualIID(create.interfaceId, MANAGER_INTERFACE));
    EXPECT_EQ(create.context, 0x404u);
    EXPECT_FALSE(create.outer);
}

TEST_F(AdapterTest, EveryConnectionIsFreedAndReleasedBeforeTheNext)
{
    fake::g_script.connections = {{NEAR_MISS, L"Other"}, {GUID_OF_NAME, L"Ethernet"}};

    EXPECT_EQ(SetConnectionState(NAME, 0), S_OK);

    EXPECT_THAT(fake::g_record.calls,
                ElementsAre("CoInitialize", "CoCreateInstance", "EnumConnections",  //
                            "Next", "GetProperties 1", "CoTaskMemFree name 1", "CoTaskMemFree device 1",
                            "CoTaskMemFree record 1", "Release connection 1",  //
                            "Next", "GetProperties 2", "Disconnect 2", "CoTaskMemFree name 2", "CoTaskMemFree device 2",
                            "CoTaskMemFree record 2", "Release connection 2",  //
                            "Next", "Release enumerator", "Release manager", "CoUninitialize"));
    EXPECT_THAT(Log(), ElementsAre(L"      Disabling adapter: Ethernet..."));
}

TEST_F(AdapterTest, NoConnectionsMeansNotFound)
{
    EXPECT_EQ(SetConnectionState(NAME, 1), NOT_FOUND);
    EXPECT_THAT(Log(), ElementsAre(FailureLine(L"80070002")));
}

TEST_F(AdapterTest, OnlyTheWholeUpperCaseGuidTextMatches)
{
    fake::g_script.connections = {{NEAR_MISS, L"Near miss"}, {GUID_OF_NAME, L"Ethernet"}};
    const std::string name = NAME;
    struct {
        std::string name;
        bool matches;
    } cases[] = {
        {name, true},
        {name.substr(0, 36), false},  // the GUID's last digit and the brace missing
        {name.substr(0, 37), false},
        {name + "0", false},
        {"{4d36e972-e325-11ce-bfc1-08002be10318}", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::g_record.calls.clear();
        HRESULT result = SetConnectionState(c.name.c_str(), 1);
        if (c.matches) {
            EXPECT_EQ(result, S_OK);
            EXPECT_THAT(Switches(), ElementsAre("Connect 2"));
        } else {
            EXPECT_EQ(result, NOT_FOUND);
            EXPECT_THAT(Switches(), IsEmpty());
        }
    }
}

TEST_F(AdapterTest, GuidTextIsZeroPaddedUpperCaseHex)
{
    const GUID guid = {0x0000000A, 0x000B, 0x00CD, {0x0E, 0x0F, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0}};
    fake::g_script.connections = {{guid, L"Wi-Fi"}};
    EXPECT_EQ(SetConnectionState("{0000000A-000B-00CD-0E0F-A0B0C0D0E0F0}", 0), S_OK);
    EXPECT_THAT(Switches(), ElementsAre("Disconnect 1"));
}

TEST_F(AdapterTest, ConnectionsSharingTheGuidAreAllSwitchedAndTheLastCodeWins)
{
    fake::g_script.connections = {{GUID_OF_NAME, L"First", E_FAIL}, {GUID_OF_NAME, L"Second", S_OK}};
    EXPECT_EQ(SetConnectionState(NAME, 1), S_OK);
    EXPECT_THAT(Switches(), ElementsAre("Connect 1", "Connect 2"));
    EXPECT_THAT(Log(), ElementsAre(L"      Enabling adapter: First...", L"      Enabling adapter: Second..."));

    fake::g_script.connections = {{GUID_OF_NAME, L"First", S_OK}, {GUID_OF_NAME, L"Second", ACCESS_DENIED}};
    EXPECT_EQ(SetConnectionState(NAME, 0), ACCESS_DENIED);
    EXPECT_THAT(Log(), ElementsAre(L"      Enabling adapter: First...", L"      Enabling adapter: Second...",
                                   L"      Disabling adapter: First...", L"      Disabling adapter: Second...",
                                   FailureLine(L"80070005")));
}

TEST_F(AdapterTest, FailedSwitchIsLoggedOnceAfterEveryConnectionWasExamined)
{
    fake::g_script.connections = {{GUID_OF_NAME, L"Ethernet", ACCESS_DENIED}, {NEAR_MISS, L"Other"}};
    EXPECT_EQ(SetConnectionState(NAME, 1), ACCESS_DENIED);
    EXPECT_EQ(fake::CountCalls("GetProperties 2"), 1);
    EXPECT_THAT(Log(), ElementsAre(L"      Enabling adapter: Ethernet...", FailureLine(L"80070005")));
}

TEST_F(AdapterTest, RetryCodeIsReturnedButNeverLogged)
{
    fake::g_script.connections = {{GUID_OF_NAME, L"Ethernet", RETRY}};
    EXPECT_EQ(SetConnectionState(NAME, 0), RETRY);
    EXPECT_THAT(Log(), ElementsAre(L"      Disabling adapter: Ethernet..."));
}

TEST_F(AdapterTest, LaterNextFailureReplacesTheSwitchCode)
{
    fake::g_script.connections = {{GUID_OF_NAME, L"Ethernet"}, {GUID_OF_NAME, L"Never reached"}};
    fake::g_script.failingNext = 1;
    fake::g_script.nextFailure = DISCONNECTED;
    EXPECT_EQ(SetConnectionState(NAME, 0), DISCONNECTED);
    EXPECT_THAT(Switches(), ElementsAre("Disconnect 1"));
    EXPECT_THAT(Log(), ElementsAre(L"      Disabling adapter: Ethernet...", FailureLine(L"80010108")));
}

TEST_F(AdapterTest, LaterGetPropertiesFailureReplacesTheSwitchCodeAndEndsTheLoop)
{
    for (bool givesRecord : {true, false}) {
        SCOPED_TRACE(givesRecord ? "with a record" : "without a record");
        fake::g_record.calls.clear();
        fake::g_script.connections = {{GUID_OF_NAME, L"Ethernet"},
                                      {GUID_OF_NAME, L"Broken", S_OK, OUT_OF_MEMORY, givesRecord},
                                      {GUID_OF_NAME, L"Never reached"}};
        EXPECT_EQ(SetConnectionState(NAME, 1), OUT_OF_MEMORY);
        EXPECT_THAT(Switches(), ElementsAre("Connect 1"));
        EXPECT_EQ(fake::CountCalls("Release connection 2"), 1);
        EXPECT_EQ(fake::CountCalls("CoTaskMemFree record 2"), givesRecord ? 1 : 0);
        EXPECT_EQ(fake::CountCalls("GetProperties 3"), 0);
    }
    EXPECT_THAT(Log(), ElementsAre(L"      Enabling adapter: Ethernet...", FailureLine(L"8007000e"),
                                   L"      Enabling adapter: Ethernet...", FailureLine(L"8007000e")));
}

TEST_F(AdapterTest, PropertiesThatAreNotPlainlyOkAreSkipped)
{
    fake::g_script.connections = {{GUID_OF_NAME, L"Stale", S_OK, S_FALSE},
                                  {GUID_OF_NAME, L"Empty", S_OK, S_OK, false},
                                  {GUID_OF_NAME, L"Ethernet"}};
    EXPECT_EQ(SetConnectionState(NAME, 0), S_OK);
    EXPECT_THAT(Switches(), ElementsAre("Disconnect 3"));
    EXPECT_EQ(fake::CountCalls("CoTaskMemFree record 1"), 1);
}

TEST_F(AdapterTest, ManagerThatCannotBeCreatedEndsThePass)
{
    fake::g_script.connections = {{GUID_OF_NAME, L"Ethernet"}};
    fake::g_script.createResults = {CLASS_NOT_REGISTERED, RETRY};
    EXPECT_EQ(SetConnectionState(NAME, 0), CLASS_NOT_REGISTERED);
    EXPECT_EQ(SetConnectionState(NAME, 0), RETRY);
    EXPECT_EQ(fake::CountCalls("EnumConnections"), 0);
    EXPECT_EQ(fake::g_record.coUninitialize, 2);
    EXPECT_THAT(Log(), ElementsAre(FailureLine(L"80040154")));
}

TEST_F(AdapterTest, ComIsLeftOnlyWhenItWasEntered)
{
    fake::g_script.connections = {{GUID_OF_NAME, L"Ethernet"}};
    fake::g_script.coInitializeResult = S_FALSE;  // already entered: still counts
    EXPECT_EQ(SetConnectionState(NAME, 0), S_OK);
    EXPECT_EQ(fake::g_record.coUninitialize, 1);

    fake::g_script.coInitializeResult = RPC_E_CHANGED_MODE;
    EXPECT_EQ(SetConnectionState(NAME, 1), S_OK);
    EXPECT_EQ(fake::g_record.coUninitialize, 1);
    EXPECT_THAT(Switches(), ElementsAre("Disconnect 1", "Connect 1"));
}

TEST_F(AdapterTest, FailedEnumerationIsTheResultAndLeavesNothingHeld)
{
    fake::g_script.connections = {{GUID_OF_NAME, L"Ethernet"}};
    fake::g_script.enumResult = OUT_OF_MEMORY;
    EXPECT_EQ(SetConnectionState(NAME, 0), OUT_OF_MEMORY);
    // A failing call that still hands back an enumerator gets it released.
    fake::g_script.failedEnumHandsBackEnumerator = true;
    EXPECT_EQ(SetConnectionState(NAME, 0), OUT_OF_MEMORY);

    EXPECT_EQ(fake::CountCalls("Next"), 0);
    EXPECT_EQ(fake::CountCalls("Release manager"), 2);
    EXPECT_EQ(fake::CountCalls("Release enumerator"), 1);
    EXPECT_THAT(Log(), ElementsAre(FailureLine(L"8007000e"), FailureLine(L"8007000e")));
}

}  // namespace
