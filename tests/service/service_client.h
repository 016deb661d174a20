// What the end-to-end tests and the service tool do from outside the service:
// register, start, query, control and delete "Tobra Service" through the
// service-manager API, and talk to its control pipe with raw pipe I/O.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/pipe_client.h"
#include "support/processes.h"
#include "support/wire_bytes.h"

namespace serviceclient {

// An SC_HANDLE closed when it goes.
class ScHandle {
public:
    ScHandle() = default;
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle();
    ScHandle(ScHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    ScHandle& operator=(ScHandle&& other) noexcept;
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_ = nullptr;
};

// Milliseconds from a monotonic clock, with sub-millisecond resolution.
double NowMs();

// "Win32 error 1060: <system text>".
std::string ErrorText(DWORD error);

// The service executable beside the calling program.
std::wstring ServiceExecutablePath();

// The command line of another program to register as "Tobra Service": the
// bench's echo service in its impostor mode, which serves the control pipe
// under the default descriptor, answers every adapter request "switched" and
// at its stop writes to `recordPath` "connections=N bytes=M".
std::wstring ImpostorCommandLine(const std::wstring& recordPath);

// Stops (when running) and deletes "Tobra Service", and waits until the manager
// has forgotten it. True when it is gone.
bool RemoveService(DWORD timeoutMs = 15000);

// Registers "Tobra Service" (own process, demand start, LocalSystem) with the
// given command line; a registration left over is removed first.
ScHandle InstallService(const std::wstring& commandLine, DWORD startType = SERVICE_DEMAND_START);
ScHandle OpenTobraService();

// StartServiceW, tried once more when Wine's service manager could not create
// the service's process: ERROR_INTERNAL_ERROR is Wine's STATUS_INTERNAL_ERROR
// for a new process that ended before its start-up finished, so no code of the
// service ran. Every other failure is returned as it is. Each retry is counted
// and printed. A service that stops at once (an invalid setting) can end
// before Wine's service manager has read the answer to its start, which then
// says ERROR_SERVICE_REQUEST_TIMEOUT although the service ran: when its
// status shows a stop with an error of its own, that counts as started (as on
// Windows), and is printed too.
bool StartTobraService(SC_HANDLE service);
// Starts retried so far in this process.
int PlatformStartRetries();

// Polls the service until it is in the state (or the time is up).
bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* status = nullptr);
bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status);

// Stops the service and waits until it reports stopped and its process has
// ended; gives the stopped report and the process's exit code (or -1).
struct StopResult {
    bool stopped = false;
    double milliseconds = 0;  // from ControlService to the process's end
    SERVICE_STATUS_PROCESS status = {};
    long processExitCode = -1;
    DWORD controlError = 0;  // ControlService's error, 0 when it succeeded
};
StopResult StopAndWait(SC_HANDLE service, DWORD timeoutMs);

// --- The control pipe ---------------------------------------------------------------

// Opens the control pipe (overlapped), retrying while it does not exist yet or
// is busy. INVALID_HANDLE_VALUE when the time is up; lastError says why.
HANDLE ConnectControlPipe(DWORD timeoutMs, DWORD* lastError = nullptr);

// Connect, write, read the reply, close: one request as a desktop client makes it.
bool SendRequest(const std::string& request, std::string* reply, DWORD timeoutMs);

// --- Adapters --------------------------------------------------------------------------

struct Adapter {
    BYTE address[8];
    DWORD addressLength;
    std::string name;  // the GUID text
    std::wstring friendlyName;
    std::wstring description;
    bool up;                          // operational status
    std::string AddressText() const;  // "00-11-22-33-44-55"
};
std::vector<Adapter> ListAdapters();
// Parses "00-11-22-33-44-55" or "00:11:22:33:44:55".
bool ParseHardwareAddress(const std::string& text, BYTE address[6]);

// Running processes of TobraService.exe, or -1 when they cannot be listed.
int CountServiceProcesses();

}  // namespace serviceclient
