// Shared set-up of the in-process service host tests: the seams faked, every
// process-wide variable of the host back at its initial value, the log pointed
// at a folder of the tests' own, and the window class gone after each test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "service/service_entry.h"
#include "service/service_main.h"
#include "service/service_window.h"
#include "service_fakes.h"
#include "support/test_support.h"

namespace servicetest {

// The host's log lines.
const std::wstring WINDOW_START = L"*** Tobra Service: Start ***";
const std::wstring WINDOW_END = L"*** Tobra Service: End ***";
const std::wstring INITIATE = L"Initiate Service";
const std::wstring STOP_START = L"*** Stop Service: Start ***";
const std::wstring STOP_END = L"*** Stop Service: End ***";
const std::wstring TERMINATE_START = L"*** Terminate Service: Start ***";
const std::wstring TERMINATE_END = L"*** Terminate Service: End ***";

// The window thread's class or window cannot be had.
struct WindowFailure {
    const char* name;
    DWORD classError;
    DWORD windowError;
    const wchar_t* logged;
};
const WindowFailure WINDOW_FAILURES[] = {
    {"RegisterClassW", ERROR_NOT_ENOUGH_MEMORY, 0, L"Could not register the service window class (error 8)"},
    {"CreateWindowExW", 0, ERROR_NOT_ENOUGH_MEMORY, L"Could not create the service window (error 8)"}};

// Every process-wide variable of the host back at its initial value.
inline void ResetServiceHost()
{
    g_currentState = SERVICE_START_PENDING;
    g_running = 0;
    g_statusHandle = nullptr;
    g_serviceStopEvent = nullptr;
    g_windowThread = nullptr;
    g_serviceFailureEvent = nullptr;
    g_serviceFailure = 0;
    g_serviceFailureReason = nullptr;
    g_serviceWindow = nullptr;
    g_pipeStopEvent = nullptr;
    g_pipeThread = nullptr;
    g_instance = GetModuleHandleW(nullptr);
}

// ServiceMain on a thread of its own, as the dispatcher starts it.
class ServiceRun {
public:
    ServiceRun() { thread_ = ::CreateThread(nullptr, 0, Main, nullptr, 0, nullptr); }
    ~ServiceRun()
    {
        EXPECT_TRUE(Ended()) << "ServiceMain did not return";
        CloseHandle(thread_);
    }
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    bool Ended(DWORD timeoutMs = 10000) const { return test::Signalled(thread_, timeoutMs); }

private:
    static DWORD WINAPI Main(LPVOID)
    {
        ServiceMain(0, nullptr);
        return 0;
    }
    HANDLE thread_ = nullptr;
};

class ServiceHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetServiceHost();
        log_ = std::make_unique<test::ScopedTestLog>(L"C:\\tobra-tests\\service-host");
    }

    void TearDown() override
    {
        // The next test registers the class afresh, which needs the window gone.
        if (fake_.windowThread != nullptr) {
            EXPECT_TRUE(test::Signalled(fake_.windowThread)) << "window thread still running";
        }
        UnregisterClassW(SERVICE_WINDOW_CLASS, g_instance);
        log_.reset();
    }

    std::vector<std::wstring> Log() const { return log_->Messages(); }

    // One whole life: started, running with its pipe thread, stopped.
    void RunOneLife()
    {
        ServiceRun run;
        ASSERT_TRUE(fake_.WaitForReport(SERVICE_RUNNING, 10000));
        ASSERT_TRUE(test::Signalled(fake_.pipeThreadStarted));
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(run.Ended());
    }

    FakeServicePlatform fake_;
    std::unique_ptr<test::ScopedTestLog> log_;
};

}  // namespace servicetest
