// tobra_bench: measures the real TobraService.exe under the service control
// manager and prints the figures. Run by scripts/bench in the build tree's Wine
// prefix; on Windows it runs as it is, from an elevated prompt (it registers
// and removes the services itself and restarts an adapter only when the
// registered connection manager is the project's stand-in).
//
//   tobra_bench [--requests N] [--load N] [--cycles N] [--restarts N] [--restart-memory N] [--no-hold]
//   tobra_bench --remove      remove both services (after an interrupted run)
#include <windows.h>
#include <sddl.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_names.h"
#include "support/process_figures.h"
#include "pipe/control_message.h"
#include "service/service_entry.h"
#include "service_client.h"
#include "tobra_client.h"
#include "tobra_client_raw.h"
#include "tobra_client_platform.h"

using namespace serviceclient;
using namespace wire;

namespace {

const DWORD SERVICE_TIMEOUT_MS = 15000;
const DWORD REQUEST_TIMEOUT_MS = 15000;
// A restart that must start the connection manager first.
const DWORD RESTART_TIMEOUT_MS = 60000;
// The service drops a silent client after 30 s; this bounds the wait for that.
const DWORD SILENT_HOLD_BOUND_MS = 45000;
const DWORD IDLE_CPU_WINDOW_MS = 5000;
const int WARM_UP_REQUESTS = 50;
const int COLD_RESTARTS = 3;
// The stand-in lingers 3 s after its last object goes.
const DWORD STANDIN_EXIT_BOUND_MS = 15000;
const wchar_t CONNECTION_MANAGER_SERVER_KEY[] =
    L"Software\\Classes\\CLSID\\{BA126AD1-2166-11D1-B1D0-00805FC1270E}\\LocalServer32";
const wchar_t STANDIN_EXE[] = L"TobraStandin.exe";

struct Options {
    int requests = 2000;
    int load = 10000;
    int cycles = 10;
    int restarts = 20;         // with the stand-in running
    int restartMemory = 1000;  // restarts for the memory figures (0: none)
    bool hold = true;
};

struct Summary {
    size_t count = 0;
    double median = 0, p99 = 0, min = 0, max = 0, mean = 0;
};

Summary Summarize(std::vector<double> values)
{
    Summary summary;
    if (values.empty())
        return summary;
    std::sort(values.begin(), values.end());
    summary.count = values.size();
    summary.median =
        values.size() % 2 ? values[values.size() / 2] : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
    // Nearest rank: the smallest value that at least 99% of the samples do not exceed.
    size_t rank = (values.size() * 99 + 99) / 100;
    summary.p99 = values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
    summary.min = values.front();
    summary.max = values.back();
    double total = 0;
    for (double value : values)
        total += value;
    summary.mean = total / static_cast<double>(values.size());
    return summary;
}

std::wstring BesideMe(const wchar_t* name)
{
    WCHAR path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path);
    return text.substr(0, text.find_last_of(L'\\') + 1) + name;
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

// --- Services ------------------------------------------------------------------------

bool RemoveEchoService()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return false;
    bool gone = false;
    double start = NowMs();
    while (!gone && NowMs() - start < SERVICE_TIMEOUT_MS) {
        SC_HANDLE service = OpenServiceW(manager, BENCH_ECHO_SERVICE_NAME, SERVICE_ALL_ACCESS);
        if (service == nullptr) {
            gone = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
            if (!gone)
                break;
            continue;
        }
        SERVICE_STATUS_PROCESS status = {};
        if (QueryStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            SERVICE_STATUS plain = {};
            ControlService(service, SERVICE_CONTROL_STOP, &plain);
            WaitForState(service, SERVICE_STOPPED, SERVICE_TIMEOUT_MS);
        }
        DeleteService(service);
        CloseServiceHandle(service);
        Sleep(10);
    }
    CloseServiceHandle(manager);
    return gone;
}

ScHandle InstallEchoService()
{
    if (!RemoveEchoService())
        return ScHandle();
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return ScHandle();
    std::wstring line = Quoted(BesideMe(L"tobra_bench_echo.exe"));
    return ScHandle(CreateServiceW(manager.Get(), BENCH_ECHO_SERVICE_NAME, BENCH_ECHO_SERVICE_NAME, SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, line.c_str(),
                                   nullptr, nullptr, nullptr, nullptr, nullptr));
}

// --- Requests --------------------------------------------------------------------------

// One exchange as the desktop application makes it; its milliseconds, or -1
// when the reply was not the expected "not done".
double NotDoneRoundTrip(const wchar_t* pipeName)
{
    // Command 2 changes nothing and is answered "not done".
    static const std::string request = CommandRequest(2);
    unsigned char reply[CONTROL_MESSAGE_HEADER_SIZE];
    TobraOutcome outcome;
    double start = NowMs();
    TobraResult result = TobraExchangeRaw(pipeName, request.data(), static_cast<unsigned long>(request.size()),
                                          REQUEST_TIMEOUT_MS, reply, sizeof(reply), &outcome);
    double elapsed = NowMs() - start;
    return result == TOBRA_NOT_DONE ? elapsed : -1;
}

// The same exchange as the plainest client makes it, with none of the client
// library's checks: open, the 12-byte request, the 12-byte reply, close. Its
// milliseconds, or -1 when the reply was not the expected "not done".
double RawRoundTrip(const wchar_t* pipeName)
{
    static const std::string request = CommandRequest(2);
    double start = NowMs();
    Client client;
    if (client.OpenWhenFree(pipeName, REQUEST_TIMEOUT_MS) != 0 || !client.Write(request))
        return -1;
    DWORD error = 0;
    std::string reply = client.ReadAll(CONTROL_MESSAGE_HEADER_SIZE, REQUEST_TIMEOUT_MS, &error);
    client.Close();
    double elapsed = NowMs() - start;
    bool notDone = reply.size() == CONTROL_MESSAGE_HEADER_SIZE && reply[4] == 2 && reply[5] == STATUS_NOT_DONE;
    return notDone ? elapsed : -1;
}

// Polls until the pipe answers; milliseconds from `since`, or -1.
double WaitUntilServed(const wchar_t* pipeName, double since)
{
    while (NowMs() - since < SERVICE_TIMEOUT_MS) {
        if (NotDoneRoundTrip(pipeName) >= 0)
            return NowMs() - since;
        Sleep(1);
    }
    return -1;
}

// --- The service process -----------------------------------------------------------

HANDLE OpenServiceProcess(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    if (!QueryStatus(service, &status) || status.dwProcessId == 0)
        return nullptr;
    return OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, status.dwProcessId);
}

void PrintFigures(const char* when, const ProcessFigures& figures)
{
    if (figures.ok)
        printf("  %-34s private %8.0f KiB   handles %4lu\n", when, figures.privateKiB, figures.handles);
    else
        printf("  %-34s (the process APIs gave nothing: %s)\n", when, ErrorText(GetLastError()).c_str());
}

// --- The stand-in ----------------------------------------------------------------------

// True when the registered Network Connections manager is the project's
// stand-in: only then may the benchmark restart an adapter.
bool StandinRegistered()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CONNECTION_MANAGER_SERVER_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    WCHAR value[MAX_PATH * 2] = L"";
    DWORD size = sizeof(value) - sizeof(WCHAR);
    DWORD type = 0;
    LONG result = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::wstring text(value);
    std::transform(text.begin(), text.end(), text.begin(), towlower);
    std::wstring wanted(STANDIN_EXE);
    std::transform(wanted.begin(), wanted.end(), wanted.begin(), towlower);
    return text.find(wanted) != std::wstring::npos;
}

bool WaitForStandinExit()
{
    double start = NowMs();
    for (;;) {
        std::vector<DWORD> ids = test::ProcessIds(STANDIN_EXE);
        if (ids.empty())
            return true;
        double left = STANDIN_EXIT_BOUND_MS - (NowMs() - start);
        if (left <= 0)
            return false;
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, ids[0]);
        if (process != nullptr) {
            WaitForSingleObject(process, static_cast<DWORD>(left));
            CloseHandle(process);
        } else {
            Sleep(10);
        }
    }
}

// The switches the stand-in has recorded: one line per Connect or Disconnect.
int RecordedSwitches()
{
    WCHAR folder[MAX_PATH] = L"";
    if (GetEnvironmentVariableW(L"ProgramData", folder, MAX_PATH) == 0)
        lstrcpyW(folder, L"C:\\ProgramData");
    std::wstring path = std::wstring(folder) + L"\\TobraStandin\\actions.txt";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    int lines = 0;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        lines += static_cast<int>(std::count(buffer, buffer + read, '\n'));
    CloseHandle(file);
    return lines;
}

bool FirstAdapterAddress(BYTE address[6], std::string* text)
{
    std::vector<Adapter> adapters = ListAdapters();
    for (int pass = 0; pass < 2; ++pass) {
        for (const Adapter& adapter : adapters) {
            if (adapter.addressLength == 6 && (adapter.up || pass == 1)) {
                CopyMemory(address, adapter.address, 6);
                *text = adapter.AddressText();
                return true;
            }
        }
    }
    return false;
}

// One restart end to end; milliseconds, or -1 when the reply was not "done"
// or the stand-in did not record both switches.
double TimedRestart(const BYTE address[6])
{
    int before = RecordedSwitches();
    TobraOutcome outcome;
    double start = NowMs();
    TobraResult result = TobraRestartAdapter(nullptr, address, RESTART_TIMEOUT_MS, &outcome);
    double elapsed = NowMs() - start;
    if (result != TOBRA_DONE || RecordedSwitches() - before != 2)
        return -1;
    return elapsed;
}

// --- The runs ----------------------------------------------------------------------------

struct Run {
    Options options;
    ScHandle service;
    ScHandle echo;
    HANDLE process = nullptr;
    bool failed = false;

    ProcessFigures Measure() { return MeasureProcess(process); }

    ~Run()
    {
        if (process != nullptr)
            CloseHandle(process);
    }

    void Fail(const char* what)
    {
        printf("  FAILED: %s\n", what);
        failed = true;
    }
};

// Start and stop figures of one service, in milliseconds.
struct Cycles {
    std::vector<double> running, ready, stopped, ended;
};

// Starts the service, waits for its pipe's first reply, stops it. False (and
// the run failed) when any step did not come.
bool OneCycle(Run& run, SC_HANDLE service, const wchar_t* pipeName, Cycles* cycles)
{
    double start = NowMs();
    if (!StartTobraService(service)) {
        run.Fail(("StartService: " + ErrorText(GetLastError())).c_str());
        return false;
    }
    if (!WaitForState(service, SERVICE_RUNNING, SERVICE_TIMEOUT_MS)) {
        run.Fail("the service did not report running");
        return false;
    }
    cycles->running.push_back(NowMs() - start);
    double served = WaitUntilServed(pipeName, start);
    if (served < 0) {
        run.Fail("the pipe served no client");
        return false;
    }
    cycles->ready.push_back(served);

    HANDLE process = OpenServiceProcess(service);
    double stop = NowMs();
    SERVICE_STATUS plain = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &plain) ||
        !WaitForState(service, SERVICE_STOPPED, SERVICE_TIMEOUT_MS)) {
        if (process != nullptr)
            CloseHandle(process);
        run.Fail("the service did not stop");
        return false;
    }
    cycles->stopped.push_back(NowMs() - stop);
    if (process != nullptr) {
        if (WaitForSingleObject(process, SERVICE_TIMEOUT_MS) == WAIT_OBJECT_0)
            cycles->ended.push_back(NowMs() - stop);
        CloseHandle(process);
    }
    return true;
}

void PrintCycle(const char* what, const std::vector<double>& service, const std::vector<double>& minimal)
{
    Summary s = Summarize(service), m = Summarize(minimal);
    printf("  %-36s %7.1f / %7.1f ms   %7.1f / %7.1f ms   %5.2fx\n", what, s.median, s.max, m.median, m.max,
           m.median > 0 ? s.median / m.median : 0);
}

// Tobra Service and the minimal service of the bench's own (the echo: it
// reports running once its pipe exists and does nothing else at start) take
// turns under the same service manager, so that start-up is a ratio too.
void StartStopCycles(Run& run)
{
    Cycles service, minimal;
    SERVICE_STATUS plain = {};
    if (!ControlService(run.echo.Get(), SERVICE_CONTROL_STOP, &plain) ||
        !WaitForState(run.echo.Get(), SERVICE_STOPPED, SERVICE_TIMEOUT_MS)) {
        run.Fail("the minimal service did not stop");
        return;
    }
    for (int cycle = 0; cycle < run.options.cycles; ++cycle) {
        if (!OneCycle(run, run.service.Get(), CONTROL_PIPE_NAME, &service) ||
            !OneCycle(run, run.echo.Get(), BENCH_ECHO_PIPE_NAME, &minimal))
            return;
    }
    // The round trips need the echo again.
    if (!StartServiceW(run.echo.Get(), 0, nullptr) || WaitUntilServed(BENCH_ECHO_PIPE_NAME, NowMs()) < 0) {
        run.Fail("the minimal service did not start again");
        return;
    }
    printf(
        "\nStart and stop through the service-manager API, %d cycles each, in turn with a minimal service\n"
        "(the echo: reports running once its pipe exists) (median / max):\n",
        run.options.cycles);
    printf("  %-36s %-22s %-22s %s\n", "", "Tobra Service", "minimal service", "ratio");
    PrintCycle("StartService to RUNNING reported", service.running, minimal.running);
    PrintCycle("StartService to the pipe's first reply", service.ready, minimal.ready);
    PrintCycle("stop control to STOPPED reported", service.stopped, minimal.stopped);
    if (service.ended.size() == service.stopped.size() && minimal.ended.size() == minimal.stopped.size())
        PrintCycle("stop control to the process's end", service.ended, minimal.ended);
    else
        printf("  stop control to the process's end         (not seen in every cycle)\n");
}

// Starts the service for the long run and takes its process handle.
bool StartForRun(Run& run)
{
    double start = NowMs();
    if (!StartTobraService(run.service.Get()) ||
        !WaitForState(run.service.Get(), SERVICE_RUNNING, SERVICE_TIMEOUT_MS) ||
        WaitUntilServed(CONTROL_PIPE_NAME, start) < 0) {
        run.Fail("the service did not start for the run");
        return false;
    }
    run.process = OpenServiceProcess(run.service.Get());
    if (run.process == nullptr) {
        run.Fail(("OpenProcess on the service: " + ErrorText(GetLastError())).c_str());
        return false;
    }
    return true;
}

void PrintTrip(const char* name, const Summary& s)
{
    printf("  %-34s %8.3f %8.3f %8.3f %8.3f %8.3f\n", name, s.median, s.p99, s.mean, s.min, s.max);
}

// The service and the floor answer in turn, so that both see the same machine
// at the same moments: a raw client with no checks (the server's cost), then
// the client library (the client's cost on top).
void RoundTrips(Run& run, int* served)
{
    for (int i = 0; i < WARM_UP_REQUESTS; ++i) {
        if (NotDoneRoundTrip(CONTROL_PIPE_NAME) < 0 || NotDoneRoundTrip(BENCH_ECHO_PIPE_NAME) < 0 ||
            RawRoundTrip(CONTROL_PIPE_NAME) < 0 || RawRoundTrip(BENCH_ECHO_PIPE_NAME) < 0) {
            run.Fail("a warm-up request got no \"not done\" reply");
            return;
        }
        *served += 2;
    }
    std::vector<double> rawService, rawFloor, service, floor;
    for (int i = 0; i < run.options.requests; ++i) {
        double a = RawRoundTrip(CONTROL_PIPE_NAME);
        double b = RawRoundTrip(BENCH_ECHO_PIPE_NAME);
        double c = NotDoneRoundTrip(CONTROL_PIPE_NAME);
        double d = NotDoneRoundTrip(BENCH_ECHO_PIPE_NAME);
        if (a < 0 || b < 0 || c < 0 || d < 0) {
            run.Fail("a request got no \"not done\" reply");
            return;
        }
        *served += 2;
        rawService.push_back(a);
        rawFloor.push_back(b);
        service.push_back(c);
        floor.push_back(d);
    }
    Summary rs = Summarize(rawService), rf = Summarize(rawFloor), s = Summarize(service), f = Summarize(floor);
    printf(
        "\nRound trip of a request answered \"not done\" (connect, 12 bytes each way, close),\n"
        "%d each, the two servers and the two clients in turn (ms):\n",
        run.options.requests);
    printf("  %-34s %8s %8s %8s %8s %8s\n", "", "median", "p99", "mean", "min", "max");
    PrintTrip("raw client, Tobra Service", rs);
    PrintTrip("raw client, echo (the floor)", rf);
    printf("  %-34s %7.2fx %7.2fx %7.2fx\n", "raw ratio (the server's cost)", rf.median > 0 ? rs.median / rf.median : 0,
           rf.p99 > 0 ? rs.p99 / rf.p99 : 0, rf.mean > 0 ? rs.mean / rf.mean : 0);
    PrintTrip("client library, Tobra Service", s);
    PrintTrip("client library, echo (no checks)", f);
    printf("  %-34s %7.2fx %7.2fx %7.2fx\n", "library ratio", f.median > 0 ? s.median / f.median : 0,
           f.p99 > 0 ? s.p99 / f.p99 : 0, f.mean > 0 ? s.mean / f.mean : 0);
    printf("  %-34s %8.3f %8.3f %8.3f\n", "library above raw, Tobra Service", s.median - rs.median, s.p99 - rs.p99,
           s.mean - rs.mean);
}

// The client library's name read made to report another pipe: the library
// then skips its checks of who serves the pipe.
BOOL WINAPI NameOfAnotherPipe(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID info, DWORD size)
{
    static const wchar_t OTHER[] = L"\\unchecked";
    if (size < sizeof(FILE_NAME_INFO) + sizeof(OTHER))
        return FALSE;
    auto* name = static_cast<FILE_NAME_INFO*>(info);
    name->FileNameLength = sizeof(OTHER) - sizeof(wchar_t);
    CopyMemory(name->FileName, OTHER, name->FileNameLength);
    return TRUE;
}

// Its owner read made without asking the pipe: the owner SYSTEM, from a
// descriptor built here, which the library frees as it frees the real one.
DWORD WINAPI OwnerWithoutAsking(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL*, PACL*,
                                PSECURITY_DESCRIPTOR* descriptor)
{
    BOOL defaulted = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SY", SDDL_REVISION_1, descriptor, nullptr))
        return GetLastError();
    GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    return ERROR_SUCCESS;
}

// What the client library's checks of who serves the pipe cost per exchange:
// the same request to the service with all of them, without the owner read,
// and without any, in turn. A spelling other than the service's own string
// makes the library decide by the handle's name, which the stand-in hides.
void ServerCheckCost(Run& run, int* served)
{
    static const wchar_t SPELLING[] = L"\\\\.\\pipe\\norva/Tobra Service";
    std::vector<double> all, noOwner, none;
    auto readName = g_tobraClientPlatform.GetFileInformationByHandleEx;
    auto readOwner = g_tobraClientPlatform.GetSecurityInfo;
    for (int i = 0; i < run.options.requests; ++i) {
        double a = NotDoneRoundTrip(SPELLING);
        g_tobraClientPlatform.GetSecurityInfo = OwnerWithoutAsking;
        double b = NotDoneRoundTrip(SPELLING);
        g_tobraClientPlatform.GetSecurityInfo = readOwner;
        g_tobraClientPlatform.GetFileInformationByHandleEx = NameOfAnotherPipe;
        double c = NotDoneRoundTrip(SPELLING);
        g_tobraClientPlatform.GetFileInformationByHandleEx = readName;
        if (a < 0 || b < 0 || c < 0) {
            run.Fail("a request got no \"not done\" reply");
            return;
        }
        *served += 3;
        all.push_back(a);
        noOwner.push_back(b);
        none.push_back(c);
    }
    Summary s = Summarize(all), o = Summarize(noOwner), n = Summarize(none);
    printf("\nThe client library's checks of who serves the pipe, %d exchanges each, in turn (ms):\n",
           run.options.requests);
    printf("  %-34s %8s %8s %8s %8s %8s\n", "", "median", "p99", "mean", "min", "max");
    PrintTrip("with every check", s);
    PrintTrip("without the owner read", o);
    PrintTrip("without any check", n);
    printf("  %-34s %8.3f %8.3f %8.3f\n", "all checks, per exchange", s.median - n.median, s.p99 - n.p99,
           s.mean - n.mean);
    printf("  %-34s %8.3f %8.3f %8.3f\n", "the owner read alone", s.median - o.median, s.p99 - o.p99, s.mean - o.mean);
}

void Load(Run& run, int* served)
{
    double start = NowMs();
    int first = *served;
    while (*served < run.options.load) {
        if (NotDoneRoundTrip(CONTROL_PIPE_NAME) < 0) {
            run.Fail("a request of the load got no \"not done\" reply");
            return;
        }
        ++*served;
    }
    printf("  (the last %d requests, one client after another, took %.1f s)\n", run.options.load - first,
           (NowMs() - start) / 1000.0);
}

void PrintCpu(const char* what, double wallMs, const ProcessFigures& before, const ProcessFigures& after,
              double serverBefore, double serverAfter)
{
    double cpu = after.CpuMs() - before.CpuMs();
    printf("  %-31s %5.1f s  %7.0f ms (user %.0f, kernel %.0f)  %5.2f%% of one core\n", what, wallMs / 1000.0, cpu,
           after.userMs - before.userMs, after.kernelMs - before.kernelMs, 100.0 * cpu / wallMs);
    if (serverBefore >= 0 && serverAfter >= 0)
        printf("  %-31s %5.1f s  %7.0f ms of the wineserver meanwhile (Wine's side of the calls)\n", "",
               wallMs / 1000.0, serverAfter - serverBefore);
}

void IdleCpu(Run& run)
{
    ProcessFigures before = run.Measure();
    double serverBefore = WineserverCpuMs();
    double start = NowMs();
    Sleep(IDLE_CPU_WINDOW_MS);
    ProcessFigures after = run.Measure();
    double serverAfter = WineserverCpuMs();
    double wall = NowMs() - start;
    if (!before.ok || !after.ok) {
        run.Fail("GetProcessTimes on the service gave nothing");
        return;
    }
    PrintCpu("idle, no client", wall, before, after, serverBefore, serverAfter);
}

// A client that connects and sends nothing: the service keeps the connection
// until its 30 s header limit and drops it.
void SilentClient(Run& run)
{
    HANDLE pipe = ConnectControlPipe(SERVICE_TIMEOUT_MS);
    if (pipe == INVALID_HANDLE_VALUE) {
        run.Fail("the silent client could not connect");
        return;
    }
    ProcessFigures before = run.Measure();
    double serverBefore = WineserverCpuMs();
    double start = NowMs();
    // Completes when the server disconnects.
    char byte = 0;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD read = 0;
    bool dropped = false;
    if (overlapped.hEvent != nullptr) {
        BOOL started = ReadFile(pipe, &byte, 1, nullptr, &overlapped);
        DWORD error = started ? ERROR_SUCCESS : GetLastError();
        if (!started && error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(overlapped.hEvent, SILENT_HOLD_BOUND_MS) == WAIT_OBJECT_0) {
                dropped = !GetOverlappedResult(pipe, &overlapped, &read, FALSE);
            } else {
                CancelIo(pipe);
                GetOverlappedResult(pipe, &overlapped, &read, TRUE);
            }
        } else {
            dropped = !started && (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED);
        }
        CloseHandle(overlapped.hEvent);
    }
    double wall = NowMs() - start;
    ProcessFigures after = run.Measure();
    double serverAfter = WineserverCpuMs();
    CloseHandle(pipe);
    if (!dropped) {
        run.Fail("the service did not drop the silent client within the bound");
        return;
    }
    if (!before.ok || !after.ok) {
        run.Fail("GetProcessTimes on the service gave nothing");
        return;
    }
    PrintCpu("a silent client, until dropped", wall, before, after, serverBefore, serverAfter);
}

void Restarts(Run& run)
{
    printf("\nRestart request end to end (client library call to reply; the stand-in switches off, then on):\n");
    if (!StandinRegistered()) {
        printf("  skipped: the registered connection manager is not the stand-in (scripts/bench registers it)\n");
        return;
    }
    BYTE address[6];
    std::string text;
    if (!FirstAdapterAddress(address, &text)) {
        printf("  skipped: no adapter with a 6-byte hardware address\n");
        return;
    }
    std::vector<double> cold, warm;
    ProcessFigures afterFirst;
    for (int i = 0; i < COLD_RESTARTS; ++i) {
        if (!WaitForStandinExit()) {
            run.Fail("the stand-in did not exit");
            return;
        }
        double trip = TimedRestart(address);
        if (trip < 0) {
            run.Fail("a restart was not done, or the stand-in did not record both switches");
            return;
        }
        cold.push_back(trip);
        if (i == 0)
            afterFirst = run.Measure();
        // The following ones find the stand-in running (it lingers 3 s).
        for (int j = 0; j < run.options.restarts / COLD_RESTARTS + (i < run.options.restarts % COLD_RESTARTS); ++j) {
            trip = TimedRestart(address);
            if (trip < 0) {
                run.Fail("a restart was not done, or the stand-in did not record both switches");
                return;
            }
            warm.push_back(trip);
        }
    }
    Summary c = Summarize(cold), w = Summarize(warm);
    printf("  adapter %s\n", text.c_str());
    printf("  first request, COM starts the stand-in   median %7.1f ms (min %.1f, max %.1f; %zu runs)\n", c.median,
           c.min, c.max, c.count);
    printf("  later requests, the stand-in running     median %7.1f ms (p99 %.1f, max %.1f; %zu runs)\n", w.median,
           w.p99, w.max, w.count);
    // The first one loads the COM runtime into the service; later ones must not add to it.
    PrintFigures("service after the first restart", afterFirst);
    char label[64];
    snprintf(label, sizeof(label), "service after %zu restarts", c.count + w.count);
    PrintFigures(label, run.Measure());
}

// Runs the baseline program; its output, or empty when it did not run to its end.
std::string RunBaseline(const std::string& adapterName, int count)
{
    std::wstring line = L"\"" + ServiceExecutablePath();
    line = line.substr(0, line.find_last_of(L'\\') + 1) + L"tobra_bench_com_baseline.exe\" " +
           std::wstring(adapterName.begin(), adapterName.end()) + L" " + std::to_wstring(count);
    std::string output;
    long code = test::RunCaptured(line, INFINITE, &output);
    if (code < 0)
        return "";
    if (code != 0)
        output = "FAILED (exit code " + std::to_string(code) + "): " + output;
    return output;
}

// The private bytes that a "baseline after N restarts: X KiB" line gives; -1 if none.
double BaselineKiB(const std::string& output, int restarts)
{
    std::string key = "baseline after " + std::to_string(restarts) + " restarts: ";
    size_t at = output.find(key);
    return at == std::string::npos ? -1 : atof(output.c_str() + at + key.size());
}

// The service's private bytes and handles over many restarts through the
// running stand-in, beside a minimal program of our own that makes the same
// platform calls in the same order: growth in both is the platform's, growth
// in the service alone is the service's.
void RestartMemory(Run& run)
{
    const int count = run.options.restartMemory;
    if (count <= 0)
        return;
    printf(
        "\nMemory over %d restarts through the running stand-in (the service, then a minimal program making "
        "the same calls):\n",
        count);
    if (!StandinRegistered()) {
        printf("  skipped: the registered connection manager is not the stand-in (scripts/bench registers it)\n");
        return;
    }
    Adapter adapter = {};
    bool found = false;
    for (const Adapter& candidate : ListAdapters()) {
        if (candidate.addressLength == 6 && !found) {
            adapter = candidate;
            found = true;
        }
    }
    if (!found) {
        printf("  skipped: no adapter with a 6-byte hardware address\n");
        return;
    }
    const int marks[] = {1, 100, count};
    double serviceKiB[3] = {0, 0, 0};
    int mark = 0;
    for (int restart = 1; restart <= count; ++restart) {
        TobraOutcome outcome;
        if (TobraRestartAdapter(nullptr, adapter.address, RESTART_TIMEOUT_MS, &outcome) != TOBRA_DONE) {
            run.Fail("a restart was not done");
            return;
        }
        while (mark < 3 && marks[mark] == restart) {
            ProcessFigures figures = run.Measure();
            char label[64];
            snprintf(label, sizeof(label), "service after %d restarts", restart);
            PrintFigures(label, figures);
            serviceKiB[mark++] = figures.privateKiB;
        }
    }
    std::string output = RunBaseline(adapter.name, count);
    if (output.empty() || output.compare(0, 6, "FAILED") == 0) {
        printf("  baseline: %s\n", output.empty() ? "did not run" : output.c_str());
        run.Fail("the baseline program failed");
        return;
    }
    for (size_t at = 0; at < output.size();) {
        size_t end = output.find('\n', at);
        end = end == std::string::npos ? output.size() : end + 1;
        printf("  %s", output.substr(at, end - at).c_str());
        at = end;
    }
    double baseline100 = BaselineKiB(output, 100), baselineLast = BaselineKiB(output, count);
    if (count > 100 && baseline100 >= 0 && baselineLast >= 0)
        printf("  growth per restart from the 100th to the %dth: service %.2f KiB, baseline %.2f KiB\n", count,
               (serviceKiB[2] - serviceKiB[1]) / (count - 100), (baselineLast - baseline100) / (count - 100));
}

int Bench(const Options& options)
{
    Run run;
    run.options = options;
    int served = 0;

    printf("Tobra Service benchmark: %d requests each for the round trip, %d in all for memory and handles\n",
           options.requests, options.load);
    run.service = InstallService(Quoted(ServiceExecutablePath()));
    if (!run.service) {
        printf("FAILED: cannot register \"Tobra Service\": %s\n", ErrorText(GetLastError()).c_str());
        return 1;
    }
    run.echo = InstallEchoService();
    if (!run.echo || !StartServiceW(run.echo.Get(), 0, nullptr) || WaitUntilServed(BENCH_ECHO_PIPE_NAME, NowMs()) < 0) {
        printf("FAILED: the floor server \"%ls\" did not start: %s\n", BENCH_ECHO_SERVICE_NAME,
               ErrorText(GetLastError()).c_str());
        RemoveService();
        RemoveEchoService();
        return 1;
    }
    fflush(stdout);

    StartStopCycles(run);
    fflush(stdout);
    if (!run.failed && StartForRun(run)) {
        Sleep(500);  // let the start settle before the idle figures
        ProcessFigures idle = run.Measure();
        printf("\nService CPU time (GetProcessTimes on the service process): wall time, CPU time\n");
        IdleCpu(run);
        if (!run.failed && options.hold)
            SilentClient(run);
        fflush(stdout);

        if (!run.failed)
            RoundTrips(run, &served);
        if (!run.failed)
            ServerCheckCost(run, &served);
        fflush(stdout);

        printf("\nService memory (private bytes) and handles:\n");
        PrintFigures("idle after start", idle);
        if (!run.failed)
            Load(run, &served);
        if (!run.failed) {
            Sleep(200);
            char label[64];
            snprintf(label, sizeof(label), "after %d requests", served);
            PrintFigures(label, run.Measure());
        }
        fflush(stdout);

        if (!run.failed) {
            Restarts(run);
        }
        if (!run.failed)
            RestartMemory(run);
    }

    // The last stop comes with a client connected that has sent nothing: a
    // stop ends it at once instead of waiting for its header limit.
    HANDLE silent = run.process != nullptr ? ConnectControlPipe(SERVICE_TIMEOUT_MS) : INVALID_HANDLE_VALUE;
    StopResult stop = StopAndWait(run.service.Get(), SERVICE_TIMEOUT_MS * 2);
    if (run.process != nullptr && !stop.stopped)
        run.Fail("the service did not stop at the end");
    if (silent != INVALID_HANDLE_VALUE) {
        if (stop.stopped)
            printf("\nStop control to the process's end with a silent client connected: %.1f ms\n", stop.milliseconds);
        CloseHandle(silent);
    }
    run.service = ScHandle();
    run.echo = ScHandle();
    bool removed = RemoveService() && RemoveEchoService();
    if (!removed)
        printf("FAILED: a service could not be removed (tobra_bench --remove)\n");
    if (UnderWine())
        printf(
            "\nUnder Wine the handle counts and CPU times come from NtQuerySystemInformation (GetProcessHandleCount\n"
            "and GetProcessTimes give 0 or stale figures for another process there); CPU times count 10 ms ticks,\n"
            "private bytes are Wine's PagefileUsage (the process's anonymous resident memory).\n");
    printf("\n%s\n", run.failed || !removed ? "The benchmark FAILED." : "Done.");
    fflush(stdout);
    return run.failed || !removed ? 1 : 0;
}

bool ParseCount(int argc, wchar_t** argv, int* i, int minimum, int* value)
{
    if (*i + 1 >= argc)
        return false;
    *value = _wtoi(argv[++*i]);
    return *value >= minimum;
}

int Usage()
{
    printf(
        "usage: tobra_bench [--requests N] [--load N] [--cycles N] [--restarts N] [--restart-memory N]"
        " [--no-hold]\n"
        "       tobra_bench --remove\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        bool ok = true;
        if (argument == L"--remove")
            return RemoveService() && RemoveEchoService() ? 0 : 1;
        else if (argument == L"--requests")
            ok = ParseCount(argc, argv, &i, 1, &options.requests);
        else if (argument == L"--load")
            ok = ParseCount(argc, argv, &i, 0, &options.load);
        else if (argument == L"--cycles")
            ok = ParseCount(argc, argv, &i, 1, &options.cycles);
        else if (argument == L"--restarts")
            ok = ParseCount(argc, argv, &i, 1, &options.restarts);
        else if (argument == L"--restart-memory")
            ok = ParseCount(argc, argv, &i, 0, &options.restartMemory);
        else if (argument == L"--no-hold")
            options.hold = false;
        else
            ok = false;
        if (!ok)
            return Usage();
    }
    // The round trips and the check costs serve 5 requests per round to the service.
    options.load = std::max(options.load, 5 * options.requests + 2 * WARM_UP_REQUESTS);
    return Bench(options);
}
