// The IP Helper types need winsock2.h ahead of windows.h.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "service_client.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include "pipe/control_message.h"
#include "service/service_entry.h"

namespace serviceclient {

ScHandle::~ScHandle()
{
    if (handle_ != nullptr)
        CloseServiceHandle(handle_);
}

ScHandle& ScHandle::operator=(ScHandle&& other) noexcept
{
    if (this != &other) {
        if (handle_ != nullptr)
            CloseServiceHandle(handle_);
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

double NowMs()
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

std::string ErrorText(DWORD error)
{
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof(text),
                   nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return "Win32 error " + std::to_string(error) + (message.empty() ? "" : ": " + message);
}

std::wstring ServiceExecutablePath()
{
    WCHAR path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path);
    return text.substr(0, text.find_last_of(L'\\')) + L"\\TobraService.exe";
}

std::wstring ImpostorCommandLine(const std::wstring& recordPath)
{
    std::wstring service = ServiceExecutablePath();
    return L"\"" + service.substr(0, service.find_last_of(L'\\')) + L"\\tobra_bench_echo.exe\" -impostor \"" +
           recordPath + L"\"";
}

namespace {

ScHandle OpenManager()
{
    return ScHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

}  // namespace

ScHandle OpenTobraService()
{
    ScHandle manager = OpenManager();
    if (!manager)
        return ScHandle();
    return ScHandle(OpenServiceW(manager.Get(), SERVICE_NAME, SERVICE_ALL_ACCESS));
}

namespace {
LONG g_platformStartRetries = 0;
}  // namespace

bool StartTobraService(SC_HANDLE service)
{
    if (StartServiceW(service, 0, nullptr))
        return true;
    if (GetLastError() == ERROR_SERVICE_REQUEST_TIMEOUT) {
        SERVICE_STATUS_PROCESS status = {};
        if (QueryStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED &&
            status.dwWin32ExitCode != NO_ERROR) {
            printf("[ NOTE     ] the service stopped with %lu before Wine's service manager read its answer to the "
                   "start (%s)\n",
                   status.dwWin32ExitCode, ErrorText(ERROR_SERVICE_REQUEST_TIMEOUT).c_str());
            fflush(stdout);
            return true;
        }
        SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
        return false;
    }
    if (GetLastError() != ERROR_INTERNAL_ERROR)
        return false;
    LONG retries = InterlockedIncrement(&g_platformStartRetries);
    printf(
        "[ RETRY    ] Wine's service manager could not create the service's process (%s); "
        "starting once more (%ld such retries so far)\n",
        ErrorText(ERROR_INTERNAL_ERROR).c_str(), static_cast<long>(retries));
    fflush(stdout);
    return StartServiceW(service, 0, nullptr) != FALSE;
}

int PlatformStartRetries()
{
    return static_cast<int>(g_platformStartRetries);
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status), sizeof(*status),
                                &needed) != FALSE;
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* status)
{
    SERVICE_STATUS_PROCESS current = {};
    double start = NowMs();
    for (;;) {
        if (QueryStatus(service, &current) && current.dwCurrentState == state) {
            if (status != nullptr)
                *status = current;
            return true;
        }
        if (NowMs() - start > timeoutMs) {
            if (status != nullptr)
                *status = current;
            return false;
        }
        Sleep(1);
    }
}

bool RemoveService(DWORD timeoutMs)
{
    double start = NowMs();
    for (;;) {
        {
            ScHandle manager = OpenManager();
            if (!manager)
                return false;
            ScHandle service(OpenServiceW(manager.Get(), SERVICE_NAME, SERVICE_ALL_ACCESS));
            if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
                return true;
            if (service) {
                SERVICE_STATUS_PROCESS status = {};
                if (QueryStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
                    SERVICE_STATUS plain = {};
                    ControlService(service.Get(), SERVICE_CONTROL_STOP, &plain);
                    WaitForState(service.Get(), SERVICE_STOPPED, timeoutMs);
                }
                DeleteService(service.Get());  // marked for deletion: goes once every handle is closed
            }
        }
        if (NowMs() - start > timeoutMs)
            return false;
        Sleep(10);
    }
}

ScHandle InstallService(const std::wstring& commandLine, DWORD startType)
{
    if (!RemoveService())
        return ScHandle();
    ScHandle manager = OpenManager();
    if (!manager)
        return ScHandle();
    return ScHandle(CreateServiceW(manager.Get(), SERVICE_NAME, SERVICE_NAME, SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, commandLine.c_str(),
                                   nullptr, nullptr, nullptr, nullptr, nullptr));
}

StopResult StopAndWait(SC_HANDLE service, DWORD timeoutMs)
{
    StopResult result;
    SERVICE_STATUS_PROCESS before = {};
    HANDLE process = nullptr;
    if (QueryStatus(service, &before) && before.dwProcessId != 0)
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, before.dwProcessId);

    double start = NowMs();
    SERVICE_STATUS plain = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &plain))
        result.controlError = GetLastError();
    result.stopped = WaitForState(service, SERVICE_STOPPED, timeoutMs, &result.status);
    if (process != nullptr) {
        double left = timeoutMs - (NowMs() - start);
        DWORD code = 0;
        if (WaitForSingleObject(process, left > 0 ? static_cast<DWORD>(left) : 0) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(process, &code))
            result.processExitCode = static_cast<long>(code);
        CloseHandle(process);
    }
    result.milliseconds = NowMs() - start;
    return result;
}

HANDLE ConnectControlPipe(DWORD timeoutMs, DWORD* lastError)
{
    return wire::OpenPipe(CONTROL_PIPE_NAME, timeoutMs, lastError);
}

bool SendRequest(const std::string& request, std::string* reply, DWORD timeoutMs)
{
    HANDLE pipe = ConnectControlPipe(timeoutMs);
    if (pipe == INVALID_HANDLE_VALUE)
        return false;
    bool ok = wire::Transact(pipe, request, reply, timeoutMs);
    CloseHandle(pipe);
    return ok;
}

std::string Adapter::AddressText() const
{
    std::string text;
    char digits[4];
    for (DWORD i = 0; i < addressLength && i < sizeof(address); ++i) {
        snprintf(digits, sizeof(digits), i == 0 ? "%02X" : "-%02X", address[i]);
        text += digits;
    }
    return text;
}

std::vector<Adapter> ListAdapters()
{
    std::vector<Adapter> adapters;
    ULONG size = 15000;
    std::vector<BYTE> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = GetAdaptersAddresses(
            AF_UNSPEC,
            GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
            reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR)
        return adapters;
    for (auto* entry = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); entry != nullptr; entry = entry->Next) {
        Adapter adapter = {};
        adapter.addressLength = entry->PhysicalAddressLength;
        CopyMemory(adapter.address, entry->PhysicalAddress, sizeof(adapter.address));
        adapter.name = entry->AdapterName != nullptr ? entry->AdapterName : "";
        adapter.friendlyName = entry->FriendlyName != nullptr ? entry->FriendlyName : L"";
        adapter.description = entry->Description != nullptr ? entry->Description : L"";
        adapter.up = entry->OperStatus == IfOperStatusUp;
        adapters.push_back(adapter);
    }
    return adapters;
}

bool ParseHardwareAddress(const std::string& text, BYTE address[6])
{
    unsigned values[6];
    char separators[5];
    if (text.size() != 17)
        return false;
    for (int i = 0; i < 6; ++i) {
        char pair[3] = {text[i * 3], text[i * 3 + 1], '\0'};
        char* end = nullptr;
        if (!isxdigit(static_cast<unsigned char>(pair[0])) || !isxdigit(static_cast<unsigned char>(pair[1])))
            return false;
        values[i] = static_cast<unsigned>(strtoul(pair, &end, 16));
        if (i < 5)
            separators[i] = text[i * 3 + 2];
    }
    for (char separator : separators) {
        if (separator != separators[0] || (separator != '-' && separator != ':'))
            return false;
    }
    for (int i = 0; i < 6; ++i)
        address[i] = static_cast<BYTE>(values[i]);
    return true;
}

int CountServiceProcesses()
{
    bool listed = false;
    std::vector<DWORD> ids = test::ProcessIds(L"TobraService.exe", &listed);
    return listed ? static_cast<int>(ids.size()) : -1;
}

}  // namespace serviceclient
