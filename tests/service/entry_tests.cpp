// Process entry: the -d switch through the command-line seam, and the real
// TobraService.exe started outside the service control manager.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "service/service_entry.h"
#include "service/service_platform.h"
#include "support/test_support.h"

namespace {

std::wstring g_commandLine;

LPWSTR WINAPI FakeGetCommandLineW()
{
    return const_cast<LPWSTR>(g_commandLine.c_str());
}

LPWSTR* WINAPI FailingCommandLineToArgvW(LPCWSTR, int* count)
{
    *count = 0;
    return nullptr;
}

class DebugSwitchTest : public ::testing::Test {
protected:
    void SetUp() override { g_servicePlatform.GetCommandLineW = FakeGetCommandLineW; }

    test::ScopedSwap<ServicePlatform> platform_{g_servicePlatform};
};

struct SwitchCase {
    const WCHAR* arguments;
    WORD mask;
};

class DebugSwitchTable : public DebugSwitchTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(DebugSwitchTable, GivesTheMaskOfTheLastSwitch)
{
    g_commandLine = std::wstring(L"\"C:\\Program Files\\Tobra\\TobraService.exe\" ") + GetParam().arguments;
    EXPECT_EQ(ParseDebugSwitch(), GetParam().mask) << std::string(g_commandLine.begin(), g_commandLine.end());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DebugSwitchTable,
    ::testing::Values(
        SwitchCase{L"", 0}, SwitchCase{L"-dlog", LOG_TO_FILE}, SwitchCase{L"-dout", LOG_TO_DEBUGGER},
        SwitchCase{L"-dlogout", LOG_TO_FILE | LOG_TO_DEBUGGER}, SwitchCase{L"-doutlog", LOG_TO_FILE | LOG_TO_DEBUGGER},
        SwitchCase{L"-Dlog", LOG_TO_FILE}, SwitchCase{L"-dLOG", 0}, SwitchCase{L"-d", 0}, SwitchCase{L"-debug", 0},
        SwitchCase{L"-dialog", LOG_TO_FILE}, SwitchCase{L"-dlog -d", 0}, SwitchCase{L"-dlog -dout", LOG_TO_DEBUGGER},
        SwitchCase{L"-dlog other", LOG_TO_FILE}, SwitchCase{L"x-dlog", 0}, SwitchCase{L"/dlog", 0},
        SwitchCase{L"-d log", 0}, SwitchCase{L"\"-d log\"", LOG_TO_FILE},
        // Beyond the table: single characters and other letters.
        SwitchCase{L"- -", 0}, SwitchCase{L"d", 0}, SwitchCase{L"-x log", 0}, SwitchCase{L"-dlog \"\"", LOG_TO_FILE},
        SwitchCase{L"-DOUT", 0}, SwitchCase{L"-dxoutx", LOG_TO_DEBUGGER}));

TEST_F(DebugSwitchTest, ProgramPathIsExaminedToo)
{
    g_commandLine = L"-dlogger.exe";
    EXPECT_EQ(ParseDebugSwitch(), LOG_TO_FILE);

    g_commandLine = L"-dlogger.exe -dout";
    EXPECT_EQ(ParseDebugSwitch(), LOG_TO_DEBUGGER);

    // A path that merely contains the switch is not one.
    g_commandLine = L"\"C:\\-dlog\\TobraService.exe\"";
    EXPECT_EQ(ParseDebugSwitch(), 0);
}

TEST_F(DebugSwitchTest, FailedSplitLeavesTheLogOff)
{
    g_commandLine = L"svc.exe -dlog";
    g_servicePlatform.CommandLineToArgvW = FailingCommandLineToArgvW;
    EXPECT_EQ(ParseDebugSwitch(), 0);
}

// --- The real executable -------------------------------------------------------

// Windows fails the dispatcher call at once; Wine's dispatcher first waits
// about 10 s for a control pipe that never comes. So the processes run side by
// side and the bound allows for Wine.
TEST(ServiceExecutable, OutsideTheServiceManagerEndsWithZeroAndLeavesNoTrace)
{
    ASSERT_TRUE(test::DeleteTree(L"C:\\norva"));
    std::wstring exe = test::ModuleDirectory() + L"\\TobraService.exe";
    ASSERT_TRUE(test::PathExists(exe));

    const WCHAR* switches[] = {L"", L"-dlog", L"-dout", L"-dlogout", L"-Dlog unknown arguments"};
    std::vector<test::ChildProcess> children;
    for (const WCHAR* arguments : switches)
        children.emplace_back(L"\"" + exe + L"\" " + arguments);
    for (size_t i = 0; i < children.size(); ++i)
        EXPECT_EQ(children[i].Wait(30000), 0) << "switch " << i;

    EXPECT_FALSE(test::PathExists(L"C:\\norva"));
}

}  // namespace
