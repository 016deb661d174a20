// tobra_service_tool: drives "Tobra Service" from outside, for the demo and by
// hand: register, start, stop and remove it through the service-manager API,
// list the machine's adapters, and send requests over the control pipe. Each
// command prints what it did and what it measured.
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pipe/control_message.h"
#include "service_client.h"

using namespace serviceclient;
using namespace wire;

namespace {

const DWORD TIMEOUT_MS = 15000;

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return "STOPPED";
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    default:
        return "other";
    }
}

void PrintStatus(const SERVICE_STATUS_PROCESS& status)
{
    printf("state %lu (%s), controls accepted 0x%lX, exit code %lu, checkpoint %lu, wait hint %lu ms, process %lu\n",
           status.dwCurrentState, StateName(status.dwCurrentState), status.dwControlsAccepted, status.dwWin32ExitCode,
           status.dwCheckPoint, status.dwWaitHint, status.dwProcessId);
}

ScHandle OpenOrSay()
{
    ScHandle service = OpenTobraService();
    if (!service)
        printf("cannot open \"Tobra Service\": %s\n", ErrorText(GetLastError()).c_str());
    return service;
}

int Install(int argc, wchar_t** argv)
{
    std::wstring line = L"\"" + ServiceExecutablePath() + L"\"";
    for (int i = 2; i < argc; ++i)
        line += std::wstring(L" ") + argv[i];
    ScHandle service = InstallService(line);
    if (!service) {
        printf("CreateService failed: %s\n", ErrorText(GetLastError()).c_str());
        return 1;
    }
    printf("registered \"Tobra Service\" (own process, demand start, LocalSystem)\n  binPath: %ls\n", line.c_str());
    return 0;
}

int Start()
{
    ScHandle service = OpenOrSay();
    if (!service)
        return 1;
    double start = NowMs();
    if (!StartTobraService(service.Get())) {
        printf("StartService failed: %s\n", ErrorText(GetLastError()).c_str());
        return 1;
    }
    SERVICE_STATUS_PROCESS status = {};
    bool running = WaitForState(service.Get(), SERVICE_RUNNING, TIMEOUT_MS, &status);
    double runningMs = NowMs() - start;
    PrintStatus(status);
    if (!running) {
        printf("the service did not report running\n");
        return 1;
    }
    printf("running %.1f ms after StartService\n", runningMs);

    // The pipe is up once a client is accepted and served; a request that
    // names no action (command 2) changes nothing.
    HANDLE pipe = ConnectControlPipe(TIMEOUT_MS);
    double acceptMs = NowMs() - start;
    if (pipe == INVALID_HANDLE_VALUE) {
        printf("the control pipe accepted no client\n");
        return 1;
    }
    std::string reply;
    bool served = Transact(pipe, CommandRequest(2), &reply, TIMEOUT_MS);
    CloseHandle(pipe);
    printf("the control pipe accepted a client %.1f ms after StartService (reply %s)\n", acceptMs, Hex(reply).c_str());
    return served ? 0 : 1;
}

int Status()
{
    ScHandle service = OpenOrSay();
    SERVICE_STATUS_PROCESS status = {};
    if (!service || !QueryStatus(service.Get(), &status))
        return 1;
    PrintStatus(status);
    return 0;
}

int Adapters()
{
    std::vector<Adapter> adapters = ListAdapters();
    printf("%-18s  %-5s  %-38s  %s\n", "hardware address", "state", "adapter name", "friendly name / description");
    for (const Adapter& adapter : adapters) {
        std::string address = adapter.addressLength == 0 ? "(none)" : adapter.AddressText();
        printf("%-18s  %-5s  %-38s  %ls / %ls\n", address.c_str(), adapter.up ? "up" : "down", adapter.name.c_str(),
               adapter.friendlyName.c_str(), adapter.description.c_str());
    }
    return adapters.empty() ? 1 : 0;
}

// The hardware address of an adapter that is up (else of any adapter with a
// 6-byte address), for scripts.
int FirstAdapter()
{
    std::vector<Adapter> adapters = ListAdapters();
    for (int pass = 0; pass < 2; ++pass) {
        for (const Adapter& adapter : adapters) {
            if (adapter.addressLength == 6 && (adapter.up || pass == 1)) {
                printf("%s\n", adapter.AddressText().c_str());
                return 0;
            }
        }
    }
    return 1;
}

int Act(const char* addressText, BYTE action)
{
    BYTE address[6];
    if (!ParseHardwareAddress(addressText, address)) {
        printf("not a hardware address: %s (expected 00-11-22-33-44-55)\n", addressText);
        return 2;
    }
    std::string request = AdapterRequest(address, action);
    std::string reply;
    double start = NowMs();
    bool ok = SendRequest(request, &reply, TIMEOUT_MS);
    double trip = NowMs() - start;
    printf("request (%zu bytes): %s\n", request.size(), Hex(request).c_str());
    if (!ok) {
        printf("no complete exchange with the service within %lu ms\n", TIMEOUT_MS);
        return 1;
    }
    printf("reply   (%zu bytes): %s\n", reply.size(), Hex(reply).c_str());
    if (reply.size() != CONTROL_MESSAGE_HEADER_SIZE)
        return 1;
    ControlMessageHeader header = DecodeControlMessageHeader(reinterpret_cast<const BYTE*>(reply.data()));
    printf("status %u (%s), round trip %.1f ms\n", header.status,
           header.status == STATUS_DONE ? "done: the action ran; the log tells what it found" : "not done", trip);
    return header.status == STATUS_DONE ? 0 : 1;
}

int Ping(int count)
{
    std::vector<double> trips;
    for (int i = 0; i < count; ++i) {
        std::string reply;
        double start = NowMs();
        if (!SendRequest(CommandRequest(2), &reply, TIMEOUT_MS) || reply.size() != CONTROL_MESSAGE_HEADER_SIZE) {
            printf("request %d got no reply\n", i + 1);
            return 1;
        }
        trips.push_back(NowMs() - start);
    }
    std::sort(trips.begin(), trips.end());
    printf(
        "%d requests (connect, 12-byte request, 12-byte reply, disconnect): median %.2f ms, min %.2f ms, "
        "max %.2f ms\n",
        count, trips[trips.size() / 2], trips.front(), trips.back());
    return 0;
}

int Stop()
{
    ScHandle service = OpenOrSay();
    if (!service)
        return 1;
    StopResult stop = StopAndWait(service.Get(), 60000);
    if (stop.controlError != 0)
        printf("ControlService: %s\n", ErrorText(stop.controlError).c_str());
    PrintStatus(stop.status);
    printf("stopped %.1f ms after the stop control; the process ended with exit code %ld\n", stop.milliseconds,
           stop.processExitCode);
    return stop.stopped && stop.status.dwWin32ExitCode == 0 && stop.processExitCode == 0 ? 0 : 1;
}

int Remove()
{
    if (!RemoveService()) {
        printf("\"Tobra Service\" could not be removed\n");
        return 1;
    }
    printf("\"Tobra Service\" is not registered (any more)\n");
    return 0;
}

int Usage()
{
    printf(
        "usage: tobra_service_tool install [switches] | start | status | stop | remove\n"
        "                          | adapters | first-adapter | restart MAC | disable MAC | ping [N]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage();
    std::wstring command = argv[1];
    std::string argument;  // a hardware address: ASCII
    for (const wchar_t* c = argc > 2 ? argv[2] : L""; *c != L'\0'; ++c)
        argument += *c < 0x80 ? static_cast<char>(*c) : '?';
    int result = 2;
    if (command == L"install")
        result = Install(argc, argv);
    else if (command == L"start")
        result = Start();
    else if (command == L"status")
        result = Status();
    else if (command == L"stop")
        result = Stop();
    else if (command == L"remove")
        result = Remove();
    else if (command == L"adapters")
        result = Adapters();
    else if (command == L"first-adapter")
        result = FirstAdapter();
    else if (command == L"restart" && argc > 2)
        result = Act(argument.c_str(), ACTION_RESTART);
    else if (command == L"disable" && argc > 2)
        result = Act(argument.c_str(), ACTION_DISABLE);
    else if (command == L"ping")
        result = Ping(argc > 2 ? std::max(1, _wtoi(argv[2])) : 25);
    else
        result = Usage();
    fflush(stdout);
    return result;
}
