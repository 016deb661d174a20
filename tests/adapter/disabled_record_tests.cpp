// The record of disabled adapters on the fakes: what each action leaves in it,
// how an enable finds its connection through it, and every registry failure.
#include "adapter_fakes.h"

#include <gmock/gmock.h>

#include <algorithm>

#include "adapter/adapter_control.h"
#include "adapter/disabled_record.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const char NAME_A[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
const WCHAR WIDE_NAME_A[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
const WCHAR STALE_NAME[] = L"{4D36E972-E325-11CE-BFC1-08002BE10319}";
const BYTE ADDRESS[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const WCHAR ADDRESS_TEXT[] = L"00-11-22-33-44-55";
const HRESULT DENIED = static_cast<HRESULT>(0x80070005UL);
const HRESULT NOT_FOUND = static_cast<HRESULT>(0x80070002UL);
const HRESULT NOT_REGISTERED = static_cast<HRESULT>(0x80040154UL);
const std::wstring ENABLING = L"      Enabling adapter: Ethernet...";
const std::wstring NOT_FOUND_LINE = L"Could not enable or disable connection (0x80070002)";
const std::wstring UNUSABLE_LINE = L"Record of adapter 00-11-22-33-44-55 is not a connection's GUID; it is ignored";

fake::Adapter Listed()
{
    return {std::vector<BYTE>(ADDRESS, ADDRESS + 6), 6, NAME_A};
}

// The list as Windows gives it once the adapter is disabled: others only.
std::vector<fake::Adapter> ListWith(bool listed)
{
    if (listed)
        return {Listed()};
    return {{{0x02, 0x00, 0x5E, 0x7B, 0x0B, 0xA0}, 6, "{4D36E972-E325-11CE-BFC1-08002BE10320}"}};
}

bool WriteRecord(DWORD type, const std::wstring& data)
{
    return test::WriteRegistryValue(HKEY_CURRENT_USER, fake::RECORD_KEY, ADDRESS_TEXT, type, data);
}

// One enable: what the record held, what the list and the manager hold, and
// what the client, the log and the record show afterwards.
struct EnableCase {
    const char* what;
    DWORD recordType;  // REG_NONE: no value
    std::wstring recordData;
    bool listed;  // the list still has the adapter (Windows drops a disabled one)
    HRESULT connectResult;
    DWORD outcome;
    HRESULT onResult;
    std::vector<std::wstring> log;
    std::wstring recordAfter;
    size_t listCalls;
};

void PrintTo(const EnableCase& c, std::ostream* out)
{
    *out << c.what;
}

class EnableTest : public AdapterTest, public ::testing::WithParamInterface<EnableCase> {};

TEST_P(EnableTest, FindsTheConnectionAndLeavesTheRecordAsItIs)
{
    const EnableCase& c = GetParam();
    if (c.recordType != REG_NONE) {
        ASSERT_TRUE(WriteRecord(c.recordType, c.recordData));
    }
    fake::g_script.adapters = ListWith(c.listed);
    fake::Connection connection = {fake::MakeGuid(0x18), L"Ethernet"};
    connection.switchResult = c.connectResult;
    fake::g_script.connections = {connection};
    if (c.onResult == NOT_REGISTERED)
        fake::g_script.createResults = {NOT_REGISTERED};

    AdapterOutcome outcome = {};
    EXPECT_EQ(EnableAdapter(ADDRESS, &outcome), 1);

    EXPECT_EQ(outcome.outcome, c.outcome);
    EXPECT_EQ(outcome.offResult, S_OK) << "an enable has no off pass";
    EXPECT_EQ(outcome.onResult, c.onResult);
    EXPECT_THAT(Log(), ElementsAreArray(c.log));
    EXPECT_EQ(fake::RecordValue(ADDRESS_TEXT), c.recordAfter);
    EXPECT_EQ(fake::g_record.listCalls.size(), c.listCalls);
    EXPECT_EQ(fake::CountCalls("Disconnect"), 0);
}

const std::wstring STALE_LINE =
    std::wstring(L"      Recorded connection ") + STALE_NAME + L" is not listed; looking the adapter up";

INSTANTIATE_TEST_SUITE_P(
    Rows, EnableTest,
    ::testing::Values(
        // The list is not asked: the record alone finds an adapter Windows no longer lists.
        EnableCase{"FromTheRecord", REG_SZ, WIDE_NAME_A, false, S_OK, OUTCOME_SWITCHED, S_OK, {ENABLING}, L"absent", 0},
        EnableCase{"FromTheRecordInLowerCase", REG_SZ, L"{4d36e972-e325-11ce-bfc1-08002be10318}", false, S_OK,
                   OUTCOME_SWITCHED, S_OK, {ENABLING}, L"absent", 0},
        EnableCase{"FromTheListWithoutARecord", REG_NONE, L"", true, S_OK, OUTCOME_SWITCHED, S_OK, {ENABLING},
                   L"absent", 1},
        EnableCase{"StaleRecordFallsThroughToTheList", REG_SZ, STALE_NAME, true, S_OK, OUTCOME_SWITCHED, S_OK,
                   {STALE_LINE, ENABLING}, L"absent", 1},
        // Not found anywhere: the stale value is left for an administrator to see.
        EnableCase{"StaleRecordAndNoAdapter", REG_SZ, STALE_NAME, false, S_OK, OUTCOME_NO_ADAPTER, NOT_FOUND,
                   {STALE_LINE, NOT_FOUND_LINE}, STALE_NAME, 1},
        EnableCase{"NeitherRecordNorAdapter", REG_NONE, L"", false, S_OK, OUTCOME_NO_ADAPTER, NOT_FOUND,
                   {NOT_FOUND_LINE}, L"absent", 1},
        EnableCase{"MalformedRecordIsNeverAName", REG_SZ, L"{4D36E972-E325-11CE-BFC1-08002BE1031}", true, S_OK,
                   OUTCOME_SWITCHED, S_OK, {UNUSABLE_LINE, ENABLING}, L"absent", 1},
        EnableCase{"RecordWithBracesMissingIsIgnored", REG_SZ, L"4D36E972-E325-11CE-BFC1-08002BE10318XX", false,
                   S_OK, OUTCOME_NO_ADAPTER, NOT_FOUND, {UNUSABLE_LINE, NOT_FOUND_LINE},
                   L"4D36E972-E325-11CE-BFC1-08002BE10318XX", 1},
        EnableCase{"RecordOfAnotherTypeIsIgnored", REG_EXPAND_SZ, WIDE_NAME_A, true, S_OK, OUTCOME_SWITCHED, S_OK,
                   {UNUSABLE_LINE, ENABLING}, L"absent", 1},
        EnableCase{"OverlongRecordIsIgnored", REG_SZ, std::wstring(WIDE_NAME_A) + WIDE_NAME_A, true, S_OK,
                   OUTCOME_SWITCHED, S_OK, {UNUSABLE_LINE, ENABLING}, L"absent", 1},
        EnableCase{"NoManagerForTheRecordsPass", REG_SZ, WIDE_NAME_A, true, S_OK, OUTCOME_FAILED, NOT_REGISTERED,
                   {L"Could not enable or disable connection (0x80040154)"}, WIDE_NAME_A, 0},
        // Still off: the record keeps it.
        EnableCase{"ConnectFails", REG_SZ, WIDE_NAME_A, false, DENIED, OUTCOME_FAILED, DENIED,
                   {ENABLING, L"Could not enable or disable connection (0x80070005)"}, WIDE_NAME_A, 0}),
    [](const ::testing::TestParamInfo<EnableCase>& info) { return std::string(info.param.what); });

TEST_F(AdapterTest, UnusableRecordIsLoggedOnceARunPerAddress)
{
    ASSERT_TRUE(WriteRecord(REG_SZ, L"not a GUID"));
    fake::g_script.adapters = {Listed()};
    fake::g_script.connections = {{fake::MakeGuid(0x18), L"Ethernet"}};
    fake::g_script.connections[0].switchResult = DENIED;  // so that the record stays
    EnableAdapter(ADDRESS, nullptr);
    EnableAdapter(ADDRESS, nullptr);
    std::vector<std::wstring> log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), UNUSABLE_LINE), 1);
}

// What each action leaves in the record, written before the action returns.
struct LeftCase {
    const char* what;
    int (*action)(const BYTE*, AdapterOutcome*);
    bool listed;
    HRESULT switchResult;
    std::vector<HRESULT> createResults;
    std::wstring before, after;
};

void PrintTo(const LeftCase& c, std::ostream* out)
{
    *out << c.what;
}

class RecordLeftTest : public AdapterTest, public ::testing::WithParamInterface<LeftCase> {};

TEST_P(RecordLeftTest, HoldsTheAdapterExactlyWhenTheServiceLeftItOff)
{
    const LeftCase& c = GetParam();
    if (c.before != L"absent") {
        ASSERT_TRUE(WriteRecord(REG_SZ, c.before));
    }
    fake::g_script.adapters = ListWith(c.listed);
    fake::Connection connection = {fake::MakeGuid(0x18), L"Ethernet"};
    connection.switchResult = c.switchResult;
    fake::g_script.connections = {connection};
    fake::g_script.createResults = c.createResults;
    c.action(ADDRESS, nullptr);
    EXPECT_EQ(fake::RecordValue(ADDRESS_TEXT), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RecordLeftTest,
    ::testing::Values(LeftCase{"DisableThatSwitched", DisableAdapter, true, S_OK, {}, L"absent", WIDE_NAME_A},
                      LeftCase{"DisableThatFailed", DisableAdapter, true, DENIED, {}, L"absent", L"absent"},
                      LeftCase{"DisableOfNoAdapter", DisableAdapter, false, S_OK, {}, L"absent", L"absent"},
                      LeftCase{"RestartThatSwitched", RestartAdapter, true, S_OK, {}, WIDE_NAME_A, L"absent"},
                      LeftCase{"RestartWhoseOnPassFailed", RestartAdapter, true, DENIED, {}, L"absent", WIDE_NAME_A},
                      // Off failed, on switched: the connection is on.
                      LeftCase{"RestartWithoutAManagerForTheOffPass", RestartAdapter, true, S_OK,
                               {static_cast<HRESULT>(0x80040154UL)}, WIDE_NAME_A, L"absent"},
                      LeftCase{"RestartOfNoAdapter", RestartAdapter, false, DENIED, {}, L"absent", L"absent"},
                      LeftCase{"EnableThatSwitched", EnableAdapter, true, S_OK, {}, WIDE_NAME_A, L"absent"}),
    [](const ::testing::TestParamInfo<LeftCase>& info) { return std::string(info.param.what); });

// Registry failures: each is logged, and the switch is reported as it went.
LSTATUS WINAPI RefuseCreate(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                            LPDWORD)
{
    return ERROR_ACCESS_DENIED;
}
LSTATUS WINAPI RefuseSet(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)
{
    return ERROR_WRITE_FAULT;
}
LSTATUS WINAPI RefuseDelete(HKEY, LPCWSTR)
{
    return ERROR_ACCESS_DENIED;
}
LSTATUS WINAPI RefuseQuery(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD)
{
    return ERROR_ACCESS_DENIED;
}
LSTATUS WINAPI RefuseOpen(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)
{
    return ERROR_ACCESS_DENIED;
}

TEST_F(AdapterTest, FailedRecordWritesAreLoggedAndTheReplyStillSaysSwitched)
{
    fake::g_script.adapters = {Listed()};
    fake::g_script.connections = {{fake::MakeGuid(0x18), L"Ethernet"}};
    AdapterOutcome outcome = {};

    g_adapterPlatform.RegCreateKeyExW = RefuseCreate;
    DisableAdapter(ADDRESS, &outcome);
    EXPECT_EQ(outcome.outcome, OUTCOME_SWITCHED);
    g_adapterPlatform.RegCreateKeyExW = ::RegCreateKeyExW;
    g_adapterPlatform.RegSetValueExW = RefuseSet;
    DisableAdapter(ADDRESS, &outcome);
    EXPECT_EQ(outcome.outcome, OUTCOME_SWITCHED);
    EXPECT_EQ(fake::RecordValue(ADDRESS_TEXT), L"absent");

    g_adapterPlatform.RegSetValueExW = ::RegSetValueExW;
    ASSERT_TRUE(WriteRecord(REG_SZ, WIDE_NAME_A));
    g_adapterPlatform.RegDeleteValueW = RefuseDelete;
    EnableAdapter(ADDRESS, &outcome);
    EXPECT_EQ(outcome.outcome, OUTCOME_SWITCHED);
    g_adapterPlatform.RegDeleteValueW = ::RegDeleteValueW;
    g_adapterPlatform.RegOpenKeyExW = RefuseOpen;
    RestartAdapter(ADDRESS, &outcome);
    EXPECT_EQ(outcome.outcome, OUTCOME_SWITCHED);
    EXPECT_EQ(fake::RecordValue(ADDRESS_TEXT), WIDE_NAME_A);

    const std::wstring disabling = L"      Disabling adapter: Ethernet...";
    EXPECT_THAT(Log(), ElementsAre(disabling, L"Could not record adapter 00-11-22-33-44-55 as disabled (error 5)",
                                   disabling, L"Could not record adapter 00-11-22-33-44-55 as disabled (error 29)",
                                   ENABLING, L"Could not remove adapter 00-11-22-33-44-55 from the record (error 5)",
                                   disabling, ENABLING,
                                   L"Could not remove adapter 00-11-22-33-44-55 from the record (error 5)"));
}

TEST_F(AdapterTest, UnreadableRecordIsLoggedAndTheListIsAsked)
{
    ASSERT_TRUE(WriteRecord(REG_SZ, WIDE_NAME_A));
    fake::g_script.adapters = {Listed()};
    fake::g_script.connections = {{fake::MakeGuid(0x18), L"Ethernet"}};
    g_adapterPlatform.RegQueryValueExW = RefuseQuery;
    AdapterOutcome outcome = {};
    EnableAdapter(ADDRESS, &outcome);
    EXPECT_EQ(outcome.outcome, OUTCOME_SWITCHED);
    EXPECT_EQ(fake::g_record.listCalls.size(), 1u);
    EXPECT_THAT(Log(), ElementsAre(L"Could not read the record of adapter 00-11-22-33-44-55 (error 5)", ENABLING));
    EXPECT_EQ(fake::RecordValue(ADDRESS_TEXT), L"absent");
}

}  // namespace
