// The administrators' policy as the service reads it at start: real registry
// values under keys of the tests' own, each value from Group Policy's key
// before the installer's.
#include <gmock/gmock.h>

#include "event/event_log.h"
#include "host_fixture.h"
#include "service/service_policy.h"

using ::testing::ElementsAre;

namespace servicetest {
namespace {

struct Value {
    const WCHAR* key;
    const WCHAR* name;
    DWORD type;
    std::wstring data;
};

const WCHAR* const GP = TEST_GROUP_POLICY_KEY;
const WCHAR* const SETTINGS = TEST_SETTINGS_KEY;
const WCHAR* const ADAPTERS = L"AllowedAdapters";
const WCHAR* const CLIENTS = L"AllowedClients";

struct PolicyCase {
    const char* name;
    std::vector<Value> values;
    bool valid;
    int adapters;  // -1: not restricted
    std::wstring client;
    std::vector<std::wstring> log;
};

void PrintTo(const PolicyCase& c, std::ostream* out)
{
    *out << c.name;
}

// The SIDs of a list, each terminated, then the list's terminator, as "a;b".
std::wstring Joined(const WCHAR* sids)
{
    std::wstring text;
    for (const WCHAR* sid = sids; *sid != L'\0'; sid += lstrlenW(sid) + 1)
        text += (text.empty() ? L"" : L";") + std::wstring(sid);
    return text;
}

std::wstring Joined(const std::vector<std::wstring>& sids)
{
    return Joined(test::MultiString(sids).c_str());
}

class PolicyTable : public ServiceHostTest, public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(PolicyTable, IsReadAsTheAdministratorWroteIt)
{
    for (const Value& value : GetParam().values)
        ASSERT_TRUE(test::WriteRegistryValue(HKEY_CURRENT_USER, value.key, value.name, value.type, value.data));
    test::EventRecorder events;
    EXPECT_EQ(ReadServicePolicy(), GetParam().valid ? 1 : 0);
    EXPECT_EQ(Log(), GetParam().log);
    // Each setting the log names is an error event naming it too.
    std::vector<std::wstring> named;
    for (const test::RecordedEvent& event : events.Events()) {
        EXPECT_EQ(event.id, static_cast<DWORD>(MSG_INVALID_SETTING));
        EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
        named.push_back(L"Setting " + (event.strings.empty() ? L"" : event.strings[0]) + L" is invalid");
    }
    EXPECT_EQ(named, GetParam().log);
    if (!GetParam().valid)
        return;
    EXPECT_EQ(g_policy.adaptersRestricted != 0, GetParam().adapters >= 0);
    EXPECT_EQ(g_policy.adapterCount, GetParam().adapters < 0 ? 0 : GetParam().adapters);
    EXPECT_EQ(Joined(g_policy.allowedClients), GetParam().client);
}

const std::wstring BAD_ADAPTERS = L"Setting AllowedAdapters is invalid";
const std::wstring BAD_CLIENTS = L"Setting AllowedClients is invalid";

INSTANTIATE_TEST_SUITE_P(
    Rows, PolicyTable,
    ::testing::Values(
        PolicyCase{"Absent", {}, true, -1, L"", {}},
        PolicyCase{"EmptyValuesAreAbsent",
                   {{SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({})}, {SETTINGS, CLIENTS, REG_SZ, L""}},
                   true,
                   -1,
                   L"",
                   {}},
        PolicyCase{"EveryWritingOfAnAddressWithBlanks",
                   {{SETTINGS, ADAPTERS, REG_MULTI_SZ,
                     test::MultiString({L"00-11-22-33-44-55", L" 00:11:22:33:44:66\t", L"0011223344aa"})}},
                   true,
                   3,
                   L"",
                   {}},
        PolicyCase{
            "ClientSidTrimmed", {{SETTINGS, CLIENTS, REG_SZ, L"  S-1-5-32-545 "}}, true, -1, L"S-1-5-32-545", {}},
        PolicyCase{"GroupPolicyWinsValueByValue",
                   {{GP, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"00-11-22-33-44-55"})},
                    {SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"not an address"})},
                    {SETTINGS, CLIENTS, REG_SZ, L"S-1-5-4"}},
                   true,
                   1,
                   L"S-1-5-4",
                   {}},
        PolicyCase{"AnEntryThatIsNotAnAddress",
                   {{SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"00-11-22-33-44-55", L"00-11-22-33-44"})}},
                   false,
                   0,
                   L"",
                   {BAD_ADAPTERS}},
        // Walked by the byte count: an empty entry hides nothing that follows it.
        PolicyCase{"AnEmptyEntryBeforeAnAddress",
                   {{SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"", L"00-11-22-33-44-55"})}},
                   false,
                   0,
                   L"",
                   {BAD_ADAPTERS}},
        PolicyCase{
            "AnEmptyEntryBetweenAddresses",
            {{SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"00-11-22-33-44-55", L"", L"not an address"})}},
            false,
            0,
            L"",
            {BAD_ADAPTERS}},
        PolicyCase{"DataWithoutItsFinalTerminatorReadsAsTerminated",
                   {{SETTINGS, ADAPTERS, REG_MULTI_SZ,
                     std::wstring(L"00-11-22-33-44-55\0"
                                  L"00:11:22:33:44:66",
                                  35)}},
                   true,
                   2,
                   L"",
                   {}},
        // reg add /t REG_MULTI_SZ /d "" writes two terminators.
        PolicyCase{"TerminatorsAloneAreNoEntries",
                   {{SETTINGS, ADAPTERS, REG_MULTI_SZ, std::wstring(L"\0\0", 2)}},
                   true,
                   -1,
                   L"",
                   {}},
        // Emptying a policy cannot widen what the installer narrowed.
        PolicyCase{"EmptyGroupPolicyValuesLeaveTheInstallersInForce",
                   {{GP, ADAPTERS, REG_MULTI_SZ, test::MultiString({})},
                    {GP, CLIENTS, REG_SZ, L" "},
                    {SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"00-11-22-33-44-55"})},
                    {SETTINGS, CLIENTS, REG_SZ, L"S-1-5-4"}},
                   true,
                   1,
                   L"S-1-5-4",
                   {}},
        PolicyCase{"AnInvalidGroupPolicyValueIsNotPassedOver",
                   {{GP, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"x"})},
                    {SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"00-11-22-33-44-55"})}},
                   false,
                   0,
                   L"",
                   {BAD_ADAPTERS}},
        PolicyCase{"ABlankEntry",
                   {{SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"  "})}},
                   false,
                   0,
                   L"",
                   {BAD_ADAPTERS}},
        PolicyCase{
            "AddressesOfTheWrongType", {{GP, ADAPTERS, REG_SZ, L"00-11-22-33-44-55"}}, false, 0, L"", {BAD_ADAPTERS}},
        PolicyCase{"AnAliasIsNoSid", {{SETTINGS, CLIENTS, REG_SZ, L"BU"}}, false, 0, L"", {BAD_CLIENTS}},
        PolicyCase{"AnAuthorityAloneIsNoSid", {{SETTINGS, CLIENTS, REG_SZ, L"S-1-5"}}, false, 0, L"", {BAD_CLIENTS}},
        PolicyCase{"TwoSids", {{SETTINGS, CLIENTS, REG_SZ, L"S-1-5-4 S-1-5-32-545"}}, false, 0, L"", {BAD_CLIENTS}},
        PolicyCase{"TextAfterTheSidsTerminator",
                   {{SETTINGS, CLIENTS, REG_SZ, std::wstring(L"S-1-5-4\0S-1-5-32-545", 20)}},
                   false,
                   0,
                   L"",
                   {BAD_CLIENTS}},
        PolicyCase{
            "ClientsOfTheWrongType", {{SETTINGS, CLIENTS, REG_EXPAND_SZ, L"S-1-5-4"}}, false, 0, L"", {BAD_CLIENTS}},
        // Several groups: a multi-string, walked like the addresses.
        PolicyCase{"SeveralClientSids",
                   {{SETTINGS, CLIENTS, REG_MULTI_SZ,
                     test::MultiString({L" S-1-5-32-556 ", L"S-1-5-4", L"S-1-5-21-1-2-3-1105\t"})}},
                   true,
                   -1,
                   L"S-1-5-32-556;S-1-5-4;S-1-5-21-1-2-3-1105",
                   {}},
        PolicyCase{"ThirtyTwoClientSids",
                   {{GP, CLIENTS, REG_MULTI_SZ, test::MultiString(test::LongestSids(32))}},
                   true,
                   -1,
                   Joined(test::LongestSids(32)),
                   {}},
        PolicyCase{"ThirtyThreeClientSidsAreTooMany",
                   {{GP, CLIENTS, REG_MULTI_SZ, test::MultiString(test::LongestSids(33))}},
                   false,
                   0,
                   L"",
                   {BAD_CLIENTS}},
        PolicyCase{"AnEmptyEntryBeforeASid",
                   {{SETTINGS, CLIENTS, REG_MULTI_SZ, test::MultiString({L"", L"S-1-5-4"})}},
                   false,
                   0,
                   L"",
                   {BAD_CLIENTS}},
        PolicyCase{"ABlankEntryBetweenSids",
                   {{SETTINGS, CLIENTS, REG_MULTI_SZ, test::MultiString({L"S-1-5-4", L" ", L"S-1-5-32-545"})}},
                   false,
                   0,
                   L"",
                   {BAD_CLIENTS}},
        PolicyCase{"AnAliasInTheList",
                   {{SETTINGS, CLIENTS, REG_MULTI_SZ, test::MultiString({L"S-1-5-4", L"BU"})}},
                   false,
                   0,
                   L"",
                   {BAD_CLIENTS}},
        PolicyCase{"AGroupPolicyListWithoutEntriesLeavesTheInstallersSid",
                   {{GP, CLIENTS, REG_MULTI_SZ, std::wstring(L"\0\0", 2)}, {SETTINGS, CLIENTS, REG_SZ, L"S-1-5-4"}},
                   true,
                   -1,
                   L"S-1-5-4",
                   {}},
        PolicyCase{"BothInvalidAreBothNamed",
                   {{SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({L"x"})}, {GP, CLIENTS, REG_SZ, L"WD"}},
                   false,
                   0,
                   L"",
                   {BAD_ADAPTERS, BAD_CLIENTS}}),
    test::RowName());

TEST_F(ServiceHostTest, OnlyTheListedAdaptersAreAllowed)
{
    ASSERT_TRUE(test::WriteRegistryValue(HKEY_CURRENT_USER, SETTINGS, ADAPTERS, REG_MULTI_SZ,
                                         test::MultiString({L"00-11-22-33-44-55"})));
    ASSERT_EQ(ReadServicePolicy(), 1);
    const BYTE listed[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const BYTE other[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x56};
    EXPECT_EQ(IsAdapterAllowed(listed), 1);
    EXPECT_EQ(IsAdapterAllowed(other), 0);
    ASSERT_TRUE(test::WriteRegistryValue(HKEY_CURRENT_USER, SETTINGS, ADAPTERS, REG_MULTI_SZ, test::MultiString({})));
    ASSERT_EQ(ReadServicePolicy(), 1);
    EXPECT_EQ(IsAdapterAllowed(other), 1) << "no list: every adapter";
}

}  // namespace
}  // namespace servicetest
