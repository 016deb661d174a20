// The adapter list and the lookup by hardware address, on a scripted list, and
// the two actions end to end on the fakes and on Wine's real platform.
#include "adapter_fakes.h"

#include <gmock/gmock.h>

#include "adapter/adapter_control.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char NAME_A[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char NAME_B[] = "{4D36E972-E325-11CE-BFC1-08002BE10319}";
const std::wstring NOT_FOUND_LINE = L"Could not enable or disable connection (0x80070002)";

// A request's bytes from the address on: 6 address bytes, the action byte and
// the byte after the payload.
const BYTE REQUEST[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x01, 0x00};

fake::Adapter WithAddress(const std::vector<BYTE>& bytes, const char* name)
{
    return {bytes, static_cast<ULONG>(bytes.size()), name};
}

std::vector<BYTE> RequestPrefix(size_t length)
{
    return std::vector<BYTE>(REQUEST, REQUEST + length);
}

std::string Lookup(const BYTE* address)
{
    char name[ADAPTER_NAME_CHARS];
    memset(name, 'x', sizeof(name));
    FindAdapterName(address, name);
    return name;
}

struct LookupCase {
    const char* what;
    std::vector<fake::Adapter> adapters;
    std::string expected;
};

void PrintTo(const LookupCase& c, std::ostream* out)
{
    *out << c.what;
}

class LookupTest : public AdapterTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(LookupTest, FindsOnlyAnExactSixByteAddress)
{
    fake::g_script.adapters = GetParam().adapters;
    EXPECT_EQ(Lookup(REQUEST), GetParam().expected);
    EXPECT_EQ(fake::g_record.listCalls.size(), 1u);
}

const BYTE OTHER[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x56};

INSTANTIATE_TEST_SUITE_P(
    Adapters, LookupTest,
    ::testing::Values(
        LookupCase{"EqualAddress",
                   {WithAddress({0x02, 0, 0, 0, 0, 1}, NAME_B), WithAddress(RequestPrefix(6), NAME_A)},
                   NAME_A},
        LookupCase{"FirstOfTwoEqualWins",
                   {WithAddress(RequestPrefix(6), NAME_A), WithAddress(RequestPrefix(6), NAME_B)},
                   NAME_A},
        LookupCase{"ZeroLengthSkipped", {{RequestPrefix(8), 0, NAME_B}, WithAddress(RequestPrefix(6), NAME_A)}, NAME_A},
        // Shorter and longer addresses that agree with every byte they could
        // be compared with, the action byte and the byte after it included.
        LookupCase{"OneByteIsNoPrefix",
                   {WithAddress(RequestPrefix(1), NAME_B), WithAddress(RequestPrefix(6), NAME_A)},
                   NAME_A},
        LookupCase{"FourBytesIsNoPrefix",
                   {WithAddress(RequestPrefix(4), NAME_B), WithAddress(RequestPrefix(6), NAME_A)},
                   NAME_A},
        LookupCase{"FiveBytesIsNoPrefix",
                   {WithAddress(RequestPrefix(5), NAME_B), WithAddress(RequestPrefix(6), NAME_A)},
                   NAME_A},
        LookupCase{"SevenBytesNeverMatch", {WithAddress(RequestPrefix(7), NAME_B)}, ""},
        LookupCase{"EightBytesNeverMatch", {WithAddress(RequestPrefix(8), NAME_B)}, ""},
        LookupCase{"NoAdapterHasIt", {WithAddress(std::vector<BYTE>(OTHER, OTHER + 6), NAME_A)}, ""}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.what); });

TEST_F(AdapterTest, NullAddressNamesNoAdapterAndAsksForNoList)
{
    fake::g_script.adapters = {WithAddress(RequestPrefix(6), NAME_A)};
    EXPECT_EQ(Lookup(nullptr), "");
    EXPECT_THAT(fake::g_record.listCalls, IsEmpty());
}

TEST_F(AdapterTest, LookupReadsNoByteAfterTheAddress)
{
    // The address ends a readable page; the next page faults when touched.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    BYTE* pages =
        static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(pages + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &old));
    BYTE* address = pages + system.dwPageSize - HARDWARE_ADDRESS_LENGTH;
    memcpy(address, REQUEST, HARDWARE_ADDRESS_LENGTH);
    fake::g_script.adapters = {WithAddress(RequestPrefix(8), NAME_B), WithAddress(RequestPrefix(6), NAME_A)};

    EXPECT_EQ(Lookup(address), NAME_A);
    VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(AdapterTest, ListIsAskedForWithTheFirstBufferSize)
{
    fake::g_script.adapters = {WithAddress(RequestPrefix(6), NAME_A)};
    PIP_ADAPTER_ADDRESSES list = GetAdapterList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->AdapterName, NAME_A);
    FreeAdapterList(list);

    ASSERT_EQ(fake::g_record.listCalls.size(), 1u);
    const fake::ListCall& call = fake::g_record.listCalls[0];
    EXPECT_EQ(call.family, static_cast<ULONG>(AF_UNSPEC));
    EXPECT_EQ(call.flags, static_cast<ULONG>(GAA_FLAG_INCLUDE_PREFIX));
    EXPECT_FALSE(call.reserved);
    EXPECT_EQ(call.size, 15000u);
    EXPECT_THAT(fake::g_record.heapAllocations, ElementsAre(15000u));
}

TEST_F(AdapterTest, OverflowingListIsAskedForAgainWithTheReportedSize)
{
    fake::g_script.listAnswers = {{ERROR_BUFFER_OVERFLOW, 40000}};
    fake::g_script.adapters = {WithAddress(RequestPrefix(6), NAME_A)};
    PIP_ADAPTER_ADDRESSES list = GetAdapterList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(fake::g_record.heapFrees, 1);  // the first buffer, before the second call
    FreeAdapterList(list);

    EXPECT_THAT(fake::g_record.heapAllocations, ElementsAre(15000u, 40000u));
    ASSERT_EQ(fake::g_record.listCalls.size(), 2u);
    EXPECT_EQ(fake::g_record.listCalls[1].size, 40000u);
}

TEST_F(AdapterTest, ListThatOverflowsThreeTimesIsNoList)
{
    fake::g_script.listAnswers = {
        {ERROR_BUFFER_OVERFLOW, 20000}, {ERROR_BUFFER_OVERFLOW, 30000}, {ERROR_BUFFER_OVERFLOW, 40000}};
    fake::g_script.adapters = {WithAddress(RequestPrefix(6), NAME_A)};
    EXPECT_EQ(GetAdapterList(), nullptr);
    EXPECT_THAT(fake::g_record.heapAllocations, ElementsAre(15000u, 20000u, 30000u));
    EXPECT_EQ(fake::g_record.listCalls.size(), 3u);
    EXPECT_EQ(fake::g_record.heapFrees, 3);
}

TEST_F(AdapterTest, ListThatFailsOtherwiseIsNoList)
{
    fake::g_script.listAnswers = {{ERROR_NO_DATA, 0}};
    EXPECT_EQ(GetAdapterList(), nullptr);
    EXPECT_EQ(fake::g_record.listCalls.size(), 1u);
    EXPECT_EQ(fake::g_record.heapFrees, 1);
}

TEST_F(AdapterTest, RefusedListBufferIsNoListAndTheProcessGoesOn)
{
    fake::g_script.failingHeapAllocations = {0};
    EXPECT_EQ(GetAdapterList(), nullptr);
    EXPECT_THAT(fake::g_record.listCalls, IsEmpty());

    // A refusal after an overflow: the first buffer is still given back.
    fake::g_record = fake::Record();
    fake::g_script.failingHeapAllocations = {1};
    fake::g_script.listAnswers = {{ERROR_BUFFER_OVERFLOW, 0x7FFFFFFF}};
    EXPECT_EQ(GetAdapterList(), nullptr);
    EXPECT_THAT(fake::g_record.heapAllocations, ElementsAre(15000u, 0x7FFFFFFFu));
    EXPECT_EQ(fake::g_record.heapFrees, 1);
}

// The actions, from the address to the log.

TEST_F(AdapterTest, RestartDisablesThenEnablesTheMatchingConnection)
{
    fake::g_script.adapters = {WithAddress(RequestPrefix(6), NAME_A)};
    fake::g_script.connections = {{fake::MakeGuid(0x19), L"Other"}, {fake::MakeGuid(0x18), L"Ethernet"}};

    EXPECT_EQ(RestartAdapter(REQUEST, nullptr), 1);

    EXPECT_THAT(Log(), ElementsAre(L"      Disabling adapter: Ethernet...", L"      Enabling adapter: Ethernet..."));
    EXPECT_EQ(fake::g_record.listCalls.size(), 1u);  // the enable pass does not look again
    // Each pass is a COM session of its own with a manager of its own.
    EXPECT_EQ(fake::g_record.coInitialize, 2);
    EXPECT_EQ(fake::CountCalls("CoCreateInstance"), 2);
    EXPECT_EQ(fake::CountCalls("Disconnect 2"), 1);
    EXPECT_EQ(fake::CountCalls("Connect 2"), 1);
    EXPECT_EQ(fake::CountCalls("Disconnect 1") + fake::CountCalls("Connect 1"), 0);
}

TEST_F(AdapterTest, RestartEnablesEvenWhenTheDisablePassFailed)
{
    fake::g_script.adapters = {WithAddress(RequestPrefix(6), NAME_A)};
    fake::g_script.connections = {{fake::MakeGuid(0x18), L"Ethernet"}};
    fake::g_script.createResults = {static_cast<HRESULT>(0x80070005UL)};

    EXPECT_EQ(RestartAdapter(REQUEST, nullptr), 1);

    EXPECT_THAT(Log(), ElementsAre(L"Could not enable or disable connection (0x80070005)",
                                   L"      Enabling adapter: Ethernet..."));
}

TEST_F(AdapterTest, DisableSwitchesOnlyOff)
{
    fake::g_script.adapters = {WithAddress(RequestPrefix(6), NAME_A)};
    fake::g_script.connections = {{fake::MakeGuid(0x18), L"Ethernet"}};

    EXPECT_EQ(DisableAdapter(REQUEST, nullptr), 1);

    EXPECT_THAT(Log(), ElementsAre(L"      Disabling adapter: Ethernet..."));
    EXPECT_EQ(fake::g_record.coInitialize, 1);
    EXPECT_EQ(fake::CountCalls("Connect"), 0);
}

// What a client that asks is told of a found adapter: switched when every pass
// returned a success code (S_FALSE too), failed when one did not, "not found"
// from a manager that lists no connection for it included.
struct FoundCase {
    const char* what;
    HRESULT switchResult;
    std::vector<HRESULT> createResults;
    GUID connection;
    DWORD outcome;
    HRESULT offResult, onResult;  // of the restart; the disable's off pass is its first
};

class FoundOutcome : public AdapterTest, public ::testing::WithParamInterface<FoundCase> {};

TEST_P(FoundOutcome, IsReportedWithBothCodes)
{
    const FoundCase& c = GetParam();
    fake::g_script.adapters = {WithAddress(RequestPrefix(6), NAME_A)};
    fake::Connection connection = {c.connection, L"Ethernet"};
    connection.switchResult = c.switchResult;
    fake::g_script.connections = {connection};
    fake::g_script.createResults = c.createResults;
    AdapterOutcome restart = {};
    EXPECT_EQ(RestartAdapter(REQUEST, &restart), 1);
    EXPECT_EQ(restart.outcome, c.outcome);
    EXPECT_EQ(restart.offResult, c.offResult);
    EXPECT_EQ(restart.onResult, c.onResult);

    // The script counts CoCreateInstance calls across the test: the restart made two.
    fake::g_script.createResults = {S_OK, S_OK};
    fake::g_script.createResults.insert(fake::g_script.createResults.end(), c.createResults.begin(),
                                        c.createResults.end());
    AdapterOutcome disable = {};
    EXPECT_EQ(DisableAdapter(REQUEST, &disable), 1);
    EXPECT_EQ(disable.outcome, c.outcome);
    EXPECT_EQ(disable.offResult, c.offResult);
    EXPECT_EQ(disable.onResult, S_OK) << "the disable has no on pass";
}

const HRESULT ACCESS_DENIED_CODE = static_cast<HRESULT>(0x80070005UL);
const HRESULT NOT_REGISTERED_CODE = static_cast<HRESULT>(0x80040154UL);
const HRESULT NOT_FOUND_CODE = static_cast<HRESULT>(0x80070002UL);

INSTANTIATE_TEST_SUITE_P(
    Rows, FoundOutcome,
    ::testing::Values(
        FoundCase{"Switched", S_OK, {}, fake::MakeGuid(0x18), OUTCOME_SWITCHED, S_OK, S_OK},
        FoundCase{"SwitchedWithSFalse", S_FALSE, {}, fake::MakeGuid(0x18), OUTCOME_SWITCHED, S_FALSE, S_FALSE},
        FoundCase{"SwitchFails",
                  ACCESS_DENIED_CODE,
                  {},
                  fake::MakeGuid(0x18),
                  OUTCOME_FAILED,
                  ACCESS_DENIED_CODE,
                  ACCESS_DENIED_CODE},
        FoundCase{"NoManagerForTheOffPass",
                  S_OK,
                  {NOT_REGISTERED_CODE},
                  fake::MakeGuid(0x18),
                  OUTCOME_FAILED,
                  NOT_REGISTERED_CODE,
                  S_OK},
        FoundCase{"NoConnectionForIt", S_OK, {}, fake::MakeGuid(0x19), OUTCOME_FAILED, NOT_FOUND_CODE, NOT_FOUND_CODE}),
    [](const ::testing::TestParamInfo<FoundCase>& info) { return std::string(info.param.what); });

// Without a name nothing can match: each pass ends with "not found", whatever
// the reason there is no name.
struct NoNameCase {
    const char* what;
    std::vector<fake::ListAnswer> listAnswers;
    std::set<int> failingHeapAllocations;
    bool nullAddress;
    DWORD outcome;  // what a client that asks is told
};

void PrintTo(const NoNameCase& c, std::ostream* out)
{
    *out << c.what;
}

class NoNameTest : public AdapterTest, public ::testing::WithParamInterface<NoNameCase> {};

TEST_P(NoNameTest, EachPassLogsNotFoundAndNothingIsSwitched)
{
    fake::g_script.listAnswers = GetParam().listAnswers;
    fake::g_script.failingHeapAllocations = GetParam().failingHeapAllocations;
    // The adapter would be found, and its connection switched, if the list came.
    fake::g_script.adapters = {WithAddress(RequestPrefix(6), NAME_A)};
    fake::g_script.connections = {{fake::MakeGuid(0x18), L"Ethernet"}};
    const BYTE* address = GetParam().nullAddress ? nullptr : REQUEST;

    AdapterOutcome restart = {};
    EXPECT_EQ(RestartAdapter(address, &restart), 1);
    EXPECT_THAT(Log(), ElementsAre(NOT_FOUND_LINE, NOT_FOUND_LINE));
    AdapterOutcome disable = {};
    EXPECT_EQ(DisableAdapter(address, &disable), 1);
    EXPECT_THAT(Log(), ElementsAre(NOT_FOUND_LINE, NOT_FOUND_LINE, NOT_FOUND_LINE));
    const HRESULT notFound = static_cast<HRESULT>(0x80070002UL);
    EXPECT_EQ(restart.outcome, GetParam().outcome);
    EXPECT_EQ(restart.offResult, notFound);
    EXPECT_EQ(restart.onResult, notFound);
    EXPECT_EQ(disable.outcome, GetParam().outcome);
    EXPECT_EQ(disable.offResult, notFound);
    EXPECT_EQ(disable.onResult, S_OK);

    EXPECT_EQ(fake::CountCalls("Connect") + fake::CountCalls("Disconnect"), 0);
    EXPECT_EQ(fake::g_record.coInitialize, 3);
}

INSTANTIATE_TEST_SUITE_P(Causes, NoNameTest,
                         ::testing::Values(NoNameCase{"NullAddress", {}, {}, true, OUTCOME_NO_ADAPTER},
                                           NoNameCase{"ListOverflowsThreeTimes",
                                                      {{ERROR_BUFFER_OVERFLOW, 20000},
                                                       {ERROR_BUFFER_OVERFLOW, 30000},
                                                       {ERROR_BUFFER_OVERFLOW, 40000},
                                                       {ERROR_BUFFER_OVERFLOW, 20000},
                                                       {ERROR_BUFFER_OVERFLOW, 30000},
                                                       {ERROR_BUFFER_OVERFLOW, 40000}},
                                                      {},
                                                      false,
                                                      OUTCOME_LIST_UNAVAILABLE},
                                           NoNameCase{"ListFails",
                                                      {{ERROR_NOT_ENOUGH_MEMORY, 0}, {ERROR_NOT_ENOUGH_MEMORY, 0}},
                                                      {},
                                                      false,
                                                      OUTCOME_LIST_UNAVAILABLE},
                                           NoNameCase{
                                               "ListBufferRefused", {}, {0, 1}, false, OUTCOME_LIST_UNAVAILABLE}),
                         [](const ::testing::TestParamInfo<NoNameCase>& info) { return std::string(info.param.what); });

// Wine has no Network Connections manager: the real path finds whatever the
// real list holds and then fails to create the manager, once per pass.
TEST(AdapterRealPlatformTest, RestartLogsTheManagerThatCannotBeCreated)
{
    test::ScopedTestLog log(L"C:\\tobra-adapter-tests");

    PIP_ADAPTER_ADDRESSES list = GetAdapterList();
    ASSERT_NE(list, nullptr);  // Wine lists the host's interfaces, loopback at least
    BYTE address[HARDWARE_ADDRESS_LENGTH] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    for (PIP_ADAPTER_ADDRESSES adapter = list; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->PhysicalAddressLength == HARDWARE_ADDRESS_LENGTH) {
            memcpy(address, adapter->PhysicalAddress, HARDWARE_ADDRESS_LENGTH);
            break;
        }
    }
    FreeAdapterList(list);

    AdapterOutcome outcome = {};
    EXPECT_EQ(RestartAdapter(address, &outcome), 1);
    EXPECT_EQ(DisableAdapter(address, nullptr), 1);
    const std::wstring line = L"Could not enable or disable connection (0x80040154)";
    EXPECT_THAT(log.Messages(), ElementsAre(line, line, line));
    const HRESULT notRegistered = static_cast<HRESULT>(0x80040154UL);
    EXPECT_EQ(outcome.offResult, notRegistered);
    EXPECT_EQ(outcome.onResult, notRegistered);
}

}  // namespace
