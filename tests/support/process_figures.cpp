// Figures of the service process as Task Manager would show them. Windows
// gives them through GetProcessMemoryInfo, GetProcessHandleCount and
// GetProcessTimes. Wine 8 fills only the memory counters for another process:
// its handle count is 0 and its times are 0 or a stale snapshot. Under Wine the
// same figures are read from NtQuerySystemInformation, whose handle list comes
// from the wineserver and whose process times come from the Linux process.
#include "process_figures.h"

#include <psapi.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

// NtQuerySystemInformation classes and the parts of their records read here
// (the 64-bit layouts).
const ULONG SYSTEM_PROCESS_INFORMATION_CLASS = 5;
const ULONG SYSTEM_HANDLE_INFORMATION_CLASS = 16;
const LONG STATUS_INFO_LENGTH_MISMATCH_CODE = static_cast<LONG>(0xC0000004);

struct ProcessRecord {
    ULONG nextEntryOffset;
    ULONG numberOfThreads;
    BYTE reserved[24];
    LARGE_INTEGER createTime;
    LARGE_INTEGER userTime;
    LARGE_INTEGER kernelTime;
    USHORT nameLength;
    USHORT nameMaximumLength;
    PWSTR nameBuffer;
    LONG basePriority;
    HANDLE uniqueProcessId;
};

struct HandleRecord {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

struct HandleList {
    ULONG count;
    HandleRecord handles[1];
};

typedef LONG(WINAPI* QuerySystemInformation)(ULONG informationClass, PVOID buffer, ULONG size, PULONG needed);

// The list of the class, grown until it fits; empty on failure.
std::vector<BYTE> SystemList(ULONG informationClass)
{
    std::vector<BYTE> buffer;
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        return buffer;
    ULONG size = 1 << 18;
    for (int attempt = 0; attempt < 8; ++attempt) {
        buffer.assign(size, 0);
        ULONG needed = 0;
        LONG status = query(informationClass, buffer.data(), size, &needed);
        if (status == 0)
            return buffer;
        if (status != STATUS_INFO_LENGTH_MISMATCH_CODE)
            break;
        size = needed > size ? needed + 65536 : size * 2;
    }
    buffer.clear();
    return buffer;
}

bool HandlesFromSystemList(DWORD processId, DWORD* handles)
{
    std::vector<BYTE> buffer = SystemList(SYSTEM_HANDLE_INFORMATION_CLASS);
    if (buffer.size() < sizeof(ULONG_PTR))
        return false;
    const HandleList* list = reinterpret_cast<const HandleList*>(buffer.data());
    size_t fits = (buffer.size() - offsetof(HandleList, handles)) / sizeof(HandleRecord);
    DWORD count = 0;
    for (ULONG i = 0; i < list->count && i < fits; ++i) {
        if (list->handles[i].ownerPid == processId)
            ++count;
    }
    *handles = count;
    return count > 0;
}

bool TimesFromSystemList(DWORD processId, double* userMs, double* kernelMs)
{
    std::vector<BYTE> buffer = SystemList(SYSTEM_PROCESS_INFORMATION_CLASS);
    for (size_t offset = 0; offset + sizeof(ProcessRecord) <= buffer.size();) {
        const ProcessRecord* record = reinterpret_cast<const ProcessRecord*>(buffer.data() + offset);
        if (static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(record->uniqueProcessId)) == processId) {
            *userMs = static_cast<double>(record->userTime.QuadPart) / 10000.0;
            *kernelMs = static_cast<double>(record->kernelTime.QuadPart) / 10000.0;
            return true;
        }
        if (record->nextEntryOffset == 0)
            break;
        offset += record->nextEntryOffset;
    }
    return false;
}

// USER_HZ: what /proc reports times in on every Linux architecture Wine runs on.
const double LINUX_CLOCK_TICKS_PER_SECOND = 100.0;

double FileTimeMs(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
}

}  // namespace

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

ProcessFigures MeasureProcess(HANDLE process)
{
    ProcessFigures figures;
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    if (!GetProcessMemoryInfo(process, &memory, sizeof(memory)))
        return figures;
    // PagefileUsage is the private commit charge (PrivateUsage of the extended
    // record says the same on Windows; Wine leaves that one zero and counts the
    // process's anonymous resident memory here).
    figures.privateKiB = static_cast<double>(memory.PagefileUsage) / 1024.0;

    if (UnderWine()) {
        DWORD processId = GetProcessId(process);
        figures.ok = HandlesFromSystemList(processId, &figures.handles) &&
                     TimesFromSystemList(processId, &figures.userMs, &figures.kernelMs);
        return figures;
    }
    FILETIME created, exited, kernel, user;
    if (!GetProcessHandleCount(process, &figures.handles) ||
        !GetProcessTimes(process, &created, &exited, &kernel, &user))
        return figures;
    figures.userMs = FileTimeMs(user);
    figures.kernelMs = FileTimeMs(kernel);
    figures.ok = true;
    return figures;
}

ProcessFigures MeasureProcessId(DWORD processId)
{
    HANDLE process =
        processId != 0 ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId) : nullptr;
    if (process == nullptr)
        return ProcessFigures();
    ProcessFigures figures = MeasureProcess(process);
    CloseHandle(process);
    return figures;
}

double WineserverCpuMs()
{
    WCHAR text[32] = L"";
    if (!UnderWine() || GetEnvironmentVariableW(L"TOBRA_BENCH_WINESERVER_PID", text, 32) == 0)
        return -1;
    std::wstring path = std::wstring(L"Z:\\proc\\") + text + L"\\stat";
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    char buffer[1024];
    DWORD read = 0;
    BOOL ok = ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(file);
    if (!ok)
        return -1;
    buffer[read] = '\0';
    // "pid (comm) state ..." with utime and stime the 14th and 15th fields,
    // in clock ticks; the name in parentheses may hold spaces.
    const char* field = strrchr(buffer, ')');
    if (field == nullptr)
        return -1;
    unsigned long long ticks[2] = {0, 0};
    for (int number = 2; number < 15; ++number) {
        field = strchr(field + 1, ' ');
        if (field == nullptr)
            return -1;
        if (number >= 13)
            ticks[number - 13] = strtoull(field + 1, nullptr, 10);
    }
    return static_cast<double>(ticks[0] + ticks[1]) * 1000.0 / LINUX_CLOCK_TICKS_PER_SECOND;
}
