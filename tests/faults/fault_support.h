// Helpers of the fault-injection tests: real pipe clients with bounded reads,
// a server end made like the service's, the control pipe's seam with counting
// adapter actions, and the service host's seam with status reports that can be
// refused and calls that can fail, around the real window and pipe threads.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "pipe/pipe_platform.h"
#include "pipe_test_support.h"
#include "service/service_platform.h"

namespace faults {

// Request bytes, bounded waits and real pipe clients as the control pipe's own tests have them.
using pipetest::AdapterRequest;
using pipetest::Bytes;
using pipetest::Client;
using pipetest::Header;
using pipetest::Hex;
using pipetest::PipePair;
using pipetest::Reply;
using pipetest::WaitUntil;

// Handles open in this process.
DWORD HandleCount();
// Waits until the count is back at `expected` (Wine closes some of a thread's
// handles just after the thread has ended); gives the last count seen.
DWORD HandleCountSettledAt(DWORD expected, DWORD timeoutMs = 2000);
bool Signalled(HANDLE handle, DWORD timeoutMs = 0);
// The reply a client reads within timeoutMs (what came, when the end has gone).
std::string ReadReply(Client& client, DWORD timeoutMs);

// The error a client gets when it opens the control pipe now.
DWORD OpenControlPipe();
// Waits until the service's pipe accepts clients.
bool ControlPipeListening(DWORD timeoutMs = 5000);

// The adapter actions behind the pipe seam: counted, optionally slow.
struct AdapterActions {
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<DWORD> delayMs{0};
};
extern AdapterActions g_actions;

// Saves the pipe seam, puts counting adapter actions in, restores it on destruction.
class ScopedPipeSeam {
public:
    ScopedPipeSeam();
    ~ScopedPipeSeam();
    ScopedPipeSeam(const ScopedPipeSeam&) = delete;
    ScopedPipeSeam& operator=(const ScopedPipeSeam&) = delete;

private:
    PipePlatform saved_;
};

// One status report as the service control manager would have received it,
// and whether the pipe thread had ended by then.
struct Report {
    DWORD state;
    DWORD exitCode;
    DWORD checkPoint;
    DWORD waitHint;
    bool pipeThreadEnded;
};

// Stands in for the service control manager and lets single calls of the
// service host fail; the window and pipe threads are the real ones. One at a
// time; restores the seam on destruction.
class ServiceSeam {
public:
    ServiceSeam();
    ~ServiceSeam();
    ServiceSeam(const ServiceSeam&) = delete;
    ServiceSeam& operator=(const ServiceSeam&) = delete;

    // --- What to fail (set before the service runs) ---
    int refusedReport = 0;  // 1-based SetServiceStatus call that is refused
    DWORD reportError = ERROR_INVALID_DATA;
    int failedEvent = 0;  // 1-based CreateEventW call of the host: 1 service stop event, 2 pipe stop event
    DWORD eventError = ERROR_NOT_ENOUGH_MEMORY;
    int failedGetMessage = 0;  // 1-based GetMessageW call that returns -1
    bool failExitCodeQuery = false;
    // Runs inside SetServiceStatus before the report is answered; gets the 1-based call.
    std::function<void(int)> onReport;

    // --- What happened ---
    std::vector<Report> Reports();
    bool WaitForReport(DWORD state, DWORD timeoutMs = 5000);
    // Duplicates of the window and pipe threads' handles, for waiting on them.
    HANDLE windowThread = nullptr;
    HANDLE pipeThread = nullptr;

    static ServiceSeam* Current();
    BOOL SetServiceStatus(LPSERVICE_STATUS status);
    int NextEventCall() { return ++eventCalls_; }
    int NextMessageCall() { return ++messageCalls_; }

private:
    ServicePlatform saved_;
    // Not std::mutex: mingw's creates an event at its first contention and
    // keeps it while it lives, which the handle counts would take for a leak.
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<Report> reports_;
    std::atomic<int> eventCalls_{0};
    std::atomic<int> messageCalls_{0};
};

// ServiceMain on a thread of its own, as the dispatcher starts it.
class ServiceRun {
public:
    ServiceRun();
    ~ServiceRun();
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    bool Ended(DWORD timeoutMs = 10000) const { return thread_ == nullptr || Signalled(thread_, timeoutMs); }
    // Waits for ServiceMain to return and lets go of its thread; false when it did not.
    bool Join(DWORD timeoutMs = 10000);

private:
    HANDLE thread_ = nullptr;
};

// Every process-wide variable of the service host back at its initial value.
void ResetServiceHost();

}  // namespace faults
