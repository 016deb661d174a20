// The IP Helper types need winsock2.h ahead of windows.h.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "service_client.h"

#include <tlhelp32.h>

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
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                   sizeof(text), nullptr);
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
    if (GetLastError() != ERROR_INTERNAL_ERROR)
        return false;
    LONG retries = InterlockedIncrement(&g_platformStartRetries);
    printf("[ RETRY    ] Wine's service manager could not create the service's process (%s); "
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
    double start = NowMs();
    for (;;) {
        HANDLE pipe = CreateFileW(CONTROL_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            return pipe;
        DWORD error = GetLastError();
        if (lastError != nullptr)
            *lastError = error;
        double left = timeoutMs - (NowMs() - start);
        if (left <= 0 || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY))
            return INVALID_HANDLE_VALUE;
        if (error == ERROR_PIPE_BUSY)
            WaitNamedPipeW(CONTROL_PIPE_NAME, left < 1000 ? static_cast<DWORD>(left) + 1 : 1000);
        else
            Sleep(1);
    }
}

namespace {

// One overlapped transfer with a bound; the byte count, or -1 on an error or
// time-out (errorOut then says which; WAIT_TIMEOUT for the time-out).
long Transfer(HANDLE pipe, bool write, void* buffer, DWORD size, DWORD timeoutMs, DWORD* errorOut)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    BOOL ok = write ? WriteFile(pipe, buffer, size, nullptr, &overlapped)
                    : ReadFile(pipe, buffer, size, nullptr, &overlapped);
    long result = -1;
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (ok || error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &overlapped, &done, TRUE);
            error = WAIT_TIMEOUT;
        } else if (GetOverlappedResult(pipe, &overlapped, &done, FALSE)) {
            result = static_cast<long>(done);
            error = ERROR_SUCCESS;
        } else {
            error = GetLastError();
        }
    }
    CloseHandle(overlapped.hEvent);
    *errorOut = error;
    return result;
}

}  // namespace

bool Transact(HANDLE pipe, const std::string& request, std::string* reply, DWORD timeoutMs)
{
    double start = NowMs();
    reply->clear();
    DWORD error = 0;
    std::string copy = request;
    if (!copy.empty() && Transfer(pipe, true, &copy[0], static_cast<DWORD>(copy.size()), timeoutMs, &error) !=
                             static_cast<long>(copy.size()))
        return false;
    for (;;) {
        double left = timeoutMs - (NowMs() - start);
        if (left <= 0)
            return false;
        char buffer[256];
        long read = Transfer(pipe, false, buffer, sizeof(buffer), static_cast<DWORD>(left), &error);
        if (read < 0)
            return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;  // the server hung up
        reply->append(buffer, static_cast<size_t>(read));
    }
}

bool SendRequest(const std::string& request, std::string* reply, DWORD timeoutMs)
{
    HANDLE pipe = ConnectControlPipe(timeoutMs);
    if (pipe == INVALID_HANDLE_VALUE)
        return false;
    bool ok = Transact(pipe, request, reply, timeoutMs);
    CloseHandle(pipe);
    return ok;
}

std::string AdapterRequest(const BYTE hardwareAddress[6], BYTE action)
{
    BYTE bytes[CONTROL_MESSAGE_HEADER_SIZE + ADAPTER_COMMAND_DATA_SIZE] = {};
    ControlMessageHeader header = {CONTROL_MESSAGE_MAGIC, CONTROL_MESSAGE_VERSION, COMMAND_ADAPTER, 0, 0,
                                   ADAPTER_COMMAND_DATA_SIZE};
    EncodeControlMessageHeader(header, bytes);
    CopyMemory(bytes + ADAPTER_ADDRESS_OFFSET, hardwareAddress, 6);
    bytes[ADAPTER_ACTION_OFFSET] = action;
    return std::string(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

std::string CommandRequest(BYTE command)
{
    BYTE bytes[CONTROL_MESSAGE_HEADER_SIZE] = {};
    ControlMessageHeader header = {CONTROL_MESSAGE_MAGIC, CONTROL_MESSAGE_VERSION, command, 0, 0, 0};
    EncodeControlMessageHeader(header, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

std::string Hex(const std::string& bytes)
{
    std::string text;
    char digits[4];
    for (unsigned char byte : bytes) {
        snprintf(digits, sizeof(digits), text.empty() ? "%02X" : " %02X", byte);
        text += digits;
    }
    return text;
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
        result = GetAdaptersAddresses(AF_UNSPEC,
                                      GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                          GAA_FLAG_SKIP_DNS_SERVER,
                                      nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
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
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, L"TobraService.exe") == 0)
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace serviceclient
