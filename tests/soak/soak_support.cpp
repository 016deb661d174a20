// Process figures read from outside, the log line checker, and a bounded client write.
#include "soak_support.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <stdio.h>

#include <vector>

namespace soak {

namespace {

// SYSTEM_HANDLE_INFORMATION_EX and its entries, which only the driver kit's headers declare.
struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
const int EXTENDED_HANDLE_INFORMATION_CLASS = 64;  // SystemExtendedHandleInformation
const NTSTATUS INFO_LENGTH_MISMATCH = static_cast<NTSTATUS>(0xC0000004L);

// The process's entries in the system's handle table; -1 when it cannot be read.
long CountHandlesInSystemTable(DWORD processId)
{
    std::vector<BYTE> buffer(1 << 20);
    NTSTATUS status;
    ULONG needed = 0;
    while ((status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(EXTENDED_HANDLE_INFORMATION_CLASS),
                                              buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
               INFO_LENGTH_MISMATCH &&
           buffer.size() < (256u << 20))
        buffer.resize(buffer.size() * 2);
    if (status < 0)
        return -1;
    const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.data());
    long count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        if (table->entries[i].processId == processId)
            ++count;
    }
    return count;
}

}  // namespace

ProcessFigures ReadProcessFigures(DWORD processId)
{
    ProcessFigures figures;
    if (processId == 0)
        return figures;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr)
        return figures;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (GetProcessHandleCount(process, &figures.handles) &&
        GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory))) {
        figures.read = true;
        // Wine 8 reports no handles and no private usage; its PagefileUsage is
        // the process's resident anonymous memory, and the system's handle
        // table lists each process's handles.
        figures.privateBytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
        if (figures.handles == 0) {
            long counted = CountHandlesInSystemTable(processId);
            figures.read = counted > 0;
            figures.handles = counted > 0 ? static_cast<DWORD>(counted) : 0;
        }
    }
    CloseHandle(process);
    return figures;
}

DWORD ServiceProcessId(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed))
        return 0;
    return status.dwProcessId;
}

namespace {

template <typename Visit>
void ForEachProcess(Visit visit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        visit(entry);
    CloseHandle(snapshot);
}

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

const wchar_t STAMP_PATTERN[] = L"9999/99/99 99:99:99  ";  // digits where it says 9
const size_t STAMP_LENGTH = sizeof(STAMP_PATTERN) / sizeof(STAMP_PATTERN[0]) - 1;

bool HasStampAt(const std::wstring& line, size_t at)
{
    if (line.size() < at + STAMP_LENGTH)
        return false;
    for (size_t i = 0; i < STAMP_LENGTH; ++i) {
        if (STAMP_PATTERN[i] == L'9' ? !IsDigit(line[at + i]) : line[at + i] != STAMP_PATTERN[i])
            return false;
    }
    return true;
}

// A stamp inside a message is a line that lost its end and ran into the next.
bool HasStampInside(const std::wstring& line)
{
    for (size_t at = 1; at + STAMP_LENGTH <= line.size(); ++at) {
        if (HasStampAt(line, at))
            return true;
    }
    return false;
}

void Bad(LogCheck* check, const std::wstring& what)
{
    if (check->badLines++ == 0)
        check->firstBad = what;
}

}  // namespace

DWORD FindProcessId(const wchar_t* imageName)
{
    DWORD id = 0;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (id == 0 && lstrcmpiW(entry.szExeFile, imageName) == 0)
            id = entry.th32ProcessID;
    });
    return id;
}

int CountProcesses(const wchar_t* imageName)
{
    int count = 0;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (lstrcmpiW(entry.szExeFile, imageName) == 0)
            ++count;
    });
    return count;
}

LogCheck CheckLog(const std::string& bytes)
{
    LogCheck check;
    if (bytes.size() % 2 != 0)
        Bad(&check, L"<odd byte count: a character was cut>");
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE) {
        Bad(&check, L"<no byte-order mark at the start>");
        return check;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find(L"\r\n", position);
        if (end == std::wstring::npos) {
            Bad(&check, L"<last line without CR LF: " + text.substr(position) + L">");
            break;
        }
        std::wstring line = text.substr(position, end - position);
        position = end + 2;
        if (!HasStampAt(line, 0) || HasStampInside(line) ||
            line.find_first_of(std::wstring(L"\r\n\xFEFF\0", 4)) != std::wstring::npos) {
            Bad(&check, line);
            continue;
        }
        check.messages.push_back(line.substr(STAMP_LENGTH));
    }
    return check;
}

size_t CountMessages(const std::vector<std::wstring>& messages, const std::wstring& text)
{
    size_t count = 0;
    for (const std::wstring& message : messages) {
        if (message == text)
            ++count;
    }
    return count;
}

bool WriteAll(HANDLE pipe, const std::string& bytes, DWORD timeoutMs)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr)
        return false;
    DWORD done = 0;
    bool ok = false;
    if (WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0)
            CancelIo(pipe);
        ok = GetOverlappedResult(pipe, &overlapped, &done, TRUE) && done == bytes.size();
    }
    CloseHandle(overlapped.hEvent);
    return ok;
}

void Measure(const char* what, double value, const char* unit)
{
    printf("[ MEASURE  ] %s: %.1f %s\n", what, value, unit);
    fflush(stdout);
}

void PrintFigures(const char* when, const ProcessFigures& figures)
{
    printf("[ MEASURE  ] %s: %lu handles, %llu private bytes\n", when, static_cast<unsigned long>(figures.handles),
           static_cast<unsigned long long>(figures.privateBytes));
    fflush(stdout);
}

}  // namespace soak
