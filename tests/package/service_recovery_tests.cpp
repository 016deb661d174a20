// The recovery actions that the package's custom action sets, through the
// seam of their service-manager calls: Wine's service manager keeps no
// failure actions and refuses the flag (error 124), so what the action asks
// for cannot be read back there. The package test runs the action for real.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "service_recovery.h"

namespace {

// What the fake service manager was asked, and which call it refuses
// (0: OpenSCManagerW, 1: OpenServiceW, 2 and 3: ChangeServiceConfig2W).
struct Record {
    int failAt;
    DWORD error;
    int calls;
    int open;  // handles not yet closed
    DWORD serviceAccess;
    std::vector<DWORD> levels;
    DWORD resetPeriod;
    std::vector<std::pair<int, DWORD>> actions;
    BOOL flag;
};
Record g_record;

// Whether this call is the one refused, with its error as the last error.
bool Refused()
{
    if (g_record.calls++ != g_record.failAt)
        return false;
    SetLastError(g_record.error);
    return true;
}

SC_HANDLE Opened(SC_HANDLE handle)
{
    if (Refused())
        return nullptr;
    ++g_record.open;
    return handle;
}

SC_HANDLE WINAPI FakeOpenSCManagerW(LPCWSTR, LPCWSTR, DWORD)
{
    return Opened(reinterpret_cast<SC_HANDLE>(0x100));
}

SC_HANDLE WINAPI FakeOpenServiceW(SC_HANDLE, LPCWSTR name, DWORD access)
{
    EXPECT_STREQ(name, L"Tobra Service");
    g_record.serviceAccess = access;
    return Opened(reinterpret_cast<SC_HANDLE>(0x200));
}

BOOL WINAPI FakeChangeServiceConfig2W(SC_HANDLE, DWORD level, LPVOID info)
{
    g_record.levels.push_back(level);
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        auto* actions = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
        g_record.resetPeriod = actions->dwResetPeriod;
        EXPECT_TRUE(actions->lpRebootMsg == nullptr && actions->lpCommand == nullptr);
        for (DWORD i = 0; i < actions->cActions; ++i)
            g_record.actions.push_back({actions->lpsaActions[i].Type, actions->lpsaActions[i].Delay});
    } else {
        g_record.flag = static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures;
    }
    return Refused() ? FALSE : TRUE;
}

BOOL WINAPI FakeCloseServiceHandle(SC_HANDLE)
{
    --g_record.open;
    return TRUE;
}

TEST(ServiceRecovery, RestartsThriceThenNotAlsoAfterAStopWithAnErrorAndClosesEveryHandle)
{
    const std::vector<DWORD> both = {SERVICE_CONFIG_FAILURE_ACTIONS, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG};
    const struct {
        const char* name;
        int failAt;
        DWORD error;
        RecoveryStep step;
        std::vector<DWORD> levels;  // the ChangeServiceConfig2W calls made
    } cases[] = {
        {"all set", -1, 0, RECOVERY_DONE, both},
        {"no service manager", 0, ERROR_ACCESS_DENIED, RECOVERY_OPEN_MANAGER, {}},
        {"no such service", 1, ERROR_SERVICE_DOES_NOT_EXIST, RECOVERY_OPEN_SERVICE, {}},
        {"actions refused", 2, ERROR_ACCESS_DENIED, RECOVERY_SET_ACTIONS, {SERVICE_CONFIG_FAILURE_ACTIONS}},
        // As Wine 8 answers: the actions are taken, the flag is not.
        {"flag refused as under Wine", 3, ERROR_INVALID_LEVEL, RECOVERY_SET_FLAG, both},
    };
    ServiceRecoveryPlatform saved = g_serviceRecoveryPlatform;
    g_serviceRecoveryPlatform = {FakeOpenSCManagerW, FakeOpenServiceW, FakeChangeServiceConfig2W,
                                 FakeCloseServiceHandle};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_record = Record{c.failAt, c.error, 0, 0, 0, {}, 0, {}, FALSE};
        DWORD error = 0xDEAD;
        EXPECT_EQ(SetServiceRecovery(L"Tobra Service", &error), c.step);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(g_record.open, 0) << "a handle left open";
        EXPECT_EQ(g_record.levels, c.levels);
        if (c.levels.empty())
            continue;
        // A restart action needs the right to start the service.
        EXPECT_EQ(g_record.serviceAccess, static_cast<DWORD>(SERVICE_CHANGE_CONFIG | SERVICE_START));
        EXPECT_EQ(g_record.resetPeriod, 86400u) << "a day";
        // The last action is repeated for every later failure: none, not a restart a minute.
        EXPECT_EQ(g_record.actions, (std::vector<std::pair<int, DWORD>>{{SC_ACTION_RESTART, 1000},
                                                                        {SC_ACTION_RESTART, 10000},
                                                                        {SC_ACTION_RESTART, 60000},
                                                                        {SC_ACTION_NONE, 0}}));
        EXPECT_EQ(g_record.flag, c.levels.size() == 2 ? TRUE : FALSE)
            << "stops with an error of the service's own count as failures";
    }
    g_serviceRecoveryPlatform = saved;
}

}  // namespace
