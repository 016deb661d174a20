// The hidden window's thread on its own: the real window, its message loop and
// WM_CLOSE sent from another thread, with a stand-in pipe thread that shows
// how it was started and when it ended.
#include <gmock/gmock.h>

#include "host_fixture.h"

using ::testing::ElementsAre;

namespace servicetest {
namespace {

// ServiceWindowThread on a thread of the test's own.
class WindowThreadTest : public ServiceHostTest {
protected:
    void TearDown() override
    {
        if (thread_ != nullptr) {
            EXPECT_TRUE(test::Signalled(thread_)) << "window thread still running";
            CloseHandle(thread_);
        }
        ServiceHostTest::TearDown();
    }

    void Start() { thread_ = ::CreateThread(nullptr, 0, ServiceWindowThread, nullptr, 0, nullptr); }

    DWORD ExitCode()
    {
        DWORD code = STILL_ACTIVE;
        return test::Signalled(thread_) && GetExitCodeThread(thread_, &code) ? code : STILL_ACTIVE;
    }

    HANDLE thread_ = nullptr;
};

std::wstring ClassName(HWND window)
{
    WCHAR name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring Title(HWND window)
{
    WCHAR title[64] = L"";
    GetWindowTextW(window, title, 64);
    return title;
}

TEST_F(WindowThreadTest, HiddenWindowStartsThePipeThreadAndCloseWaitsForItsEnd)
{
    fake_.pipeLingerMs = 200;  // a client still being served when the stop event is set
    Start();
    ASSERT_TRUE(test::Signalled(fake_.pipeThreadStarted));
    HWND window = g_serviceWindow;
    ASSERT_NE(window, nullptr);

    EXPECT_EQ(ClassName(window), L"NORVA TOBRA SERVICE CLASS");
    EXPECT_EQ(Title(window), L"NORVA TOBRA SERVICE CLASS");
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(GetWindowLongPtrW(window, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
    EXPECT_EQ(GetWindowLongPtrW(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    EXPECT_EQ(GetClassLongPtrW(window, GCL_STYLE), static_cast<ULONG_PTR>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(GetClassLongPtrW(window, GCLP_HBRBACKGROUND), static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrW(window, GCLP_HCURSOR)), LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_EQ(reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE)), g_instance);
    EXPECT_EQ(GetParent(window), nullptr);
    RECT rect = {};
    ASSERT_TRUE(GetWindowRect(window, &rect));
    EXPECT_EQ(rect.right - rect.left, 250);
    EXPECT_EQ(rect.bottom - rect.top, 220);

    // The pipe thread: 16 KiB stack, the window as its parameter, started only
    // once the window handle was published.
    EXPECT_EQ(fake_.pipeThreadsCreated, 1);
    EXPECT_EQ(fake_.pipeThreadStackSize, PIPE_THREAD_STACK_SIZE);
    EXPECT_EQ(fake_.pipeThreadParameter, window);
    EXPECT_EQ(fake_.windowAtPipeStart, window);
    EXPECT_NE(g_pipeStopEvent, nullptr);
    EXPECT_EQ(WaitForSingleObject(g_pipeStopEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(fake_.pipeThreadEnded, 1) << "WM_CLOSE returned before the pipe thread ended";
    EXPECT_EQ(g_pipeThread, nullptr);
    EXPECT_EQ(g_pipeStopEvent, nullptr);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(g_serviceFailure, 0) << "a stop's close was taken for a failure";
    EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE, WINDOW_END));
}

DWORD WINAPI SendClose(LPVOID window)
{
    return static_cast<DWORD>(SendMessageW(static_cast<HWND>(window), WM_CLOSE, 0, 0));
}

TEST_F(WindowThreadTest, CloseBeforeInitiateServiceNeverStartsThePipeServer)
{
    // WM_CLOSE is queued as a sent message before the loop's first GetMessageW,
    // which handles it ahead of the posted WM_INITIATE_SERVICE.
    HANDLE sender = nullptr;
    fake_.afterCreateWindow = [&sender](HWND window) {
        sender = ::CreateThread(nullptr, 0, SendClose, window, 0, nullptr);
        for (int i = 0; i < 5000 && !(HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE); ++i)
            Sleep(1);
    };
    Start();
    EXPECT_EQ(ExitCode(), 0u);
    ASSERT_TRUE(test::Signalled(sender));
    CloseHandle(sender);
    EXPECT_EQ(fake_.pipeThreadsCreated, 0);
    EXPECT_FALSE(IsWindow(g_serviceWindow));
    EXPECT_THAT(Log(), ElementsAre(WINDOW_START, WINDOW_END));
}

TEST_F(WindowThreadTest, RepeatedInitiateServiceStartsNoSecondPipeServer)
{
    Start();
    ASSERT_TRUE(test::Signalled(fake_.pipeThreadStarted));
    HANDLE thread = g_pipeThread;
    HANDLE stopEvent = g_pipeStopEvent;
    SendMessageW(g_serviceWindow, WM_INITIATE_SERVICE, 0, 0);
    EXPECT_EQ(fake_.pipeThreadsCreated, 1);
    EXPECT_EQ(g_pipeThread, thread);
    EXPECT_EQ(g_pipeStopEvent, stopEvent);
    SendMessageW(g_serviceWindow, WM_CLOSE, 0, 0);
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE, WINDOW_END));
}

struct StartFailure {
    const char* name;
    int failedEvent;
    DWORD pipeThreadError;
    DWORD error;
    const wchar_t* logged;
};

class PipeStartFailure : public WindowThreadTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(PipeStartFailure, IsReportedAndCloseStillReturnsAndReleasesWhatExists)
{
    fake_.failedEvent = GetParam().failedEvent;
    fake_.pipeThreadError = GetParam().pipeThreadError;
    DWORD before = test::ProcessHandleCount();
    Start();
    ASSERT_TRUE(test::WaitUntil([] { return g_serviceFailure != 0; }));
    EXPECT_EQ(static_cast<DWORD>(g_serviceFailure), GetParam().error);
    HWND window = g_serviceWindow;
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(g_pipeThread, nullptr);
    EXPECT_EQ(g_pipeStopEvent, nullptr);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(ExitCode(), 0u);
    CloseHandle(thread_);
    thread_ = nullptr;
    DWORD after = test::ProcessHandleCount();
    EXPECT_EQ(after, before);
    EXPECT_EQ(fake_.pipeThreadsCreated, GetParam().failedEvent != 0 ? 0 : 1) << "no thread without its stop event";
    EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE, GetParam().logged, WINDOW_END));
}

INSTANTIATE_TEST_SUITE_P(EventOrThread, PipeStartFailure,
                         ::testing::Values(StartFailure{"CreateEventW", 1, 0, ERROR_NOT_ENOUGH_MEMORY,
                                                        L"Could not create the pipe stop event (error 8)"},
                                           StartFailure{"CreateThread", 0, ERROR_NOT_ENOUGH_MEMORY,
                                                        ERROR_NOT_ENOUGH_MEMORY,
                                                        L"Could not start the pipe server (error 8)"}),
                         test::RowName());

class WindowFailures : public WindowThreadTest, public ::testing::WithParamInterface<WindowFailure> {};

TEST_P(WindowFailures, AreReportedAndEndTheThread)
{
    fake_.classError = GetParam().classError;
    fake_.windowError = GetParam().windowError;
    Start();
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(g_serviceWindow, nullptr);
    EXPECT_EQ(fake_.pipeThreadsCreated, 0);
    EXPECT_EQ(static_cast<DWORD>(g_serviceFailure), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_THAT(Log(), ElementsAre(WINDOW_START, GetParam().logged, WINDOW_END));
}

INSTANTIATE_TEST_SUITE_P(ClassOrWindow, WindowFailures, ::testing::ValuesIn(WINDOW_FAILURES), test::RowName());

// The loop ends as on WM_QUIT, and the pipe server must not outlive it.
TEST_F(WindowThreadTest, FailedMessageLoopStopsThePipeThreadBeforeTheThreadEnds)
{
    fake_.failedGetMessage = 2;  // call 1 gets WM_INITIATE_SERVICE, which starts the pipe thread
    Start();
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(fake_.pipeThreadsCreated, 1);
    EXPECT_EQ(fake_.pipeThreadEnded, 1);
    EXPECT_EQ(g_pipeThread, nullptr);
    EXPECT_EQ(g_pipeStopEvent, nullptr);
    EXPECT_EQ(static_cast<DWORD>(g_serviceFailure), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_THAT(Log(), ElementsAre(WINDOW_START, INITIATE, L"Could not read the service window's messages (error 1400)",
                                   WINDOW_END));
}

TEST_F(WindowThreadTest, StopPipeThreadWithNothingStartedReturnsAtOnce)
{
    EXPECT_EQ(StopPipeThread(), 1);
    EXPECT_EQ(g_pipeThread, nullptr);
    EXPECT_EQ(g_pipeStopEvent, nullptr);
}

}  // namespace
}  // namespace servicetest
