// What the load and soak tests measure from outside the service: its process's
// handle count and private bytes, and whether every line of its log is whole.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace soak {

struct ProcessFigures {
    bool read = false;  // false when the process could not be opened or queried
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

// Handle count and private bytes (PROCESS_MEMORY_COUNTERS_EX.PrivateUsage) of a
// process, or what stands for them where the platform leaves them empty.
ProcessFigures ReadProcessFigures(DWORD processId);
// The process id the service manager reports for the service, 0 when none.
DWORD ServiceProcessId(SC_HANDLE service);
// Id of the first process whose image name is `imageName`, 0 when none.
DWORD FindProcessId(const wchar_t* imageName);
int CountProcesses(const wchar_t* imageName);

// A log file's bytes checked line by line: one byte-order mark at the start,
// then only lines of "YYYY/MM/DD hh:mm:ss  message\r\n" with no other line
// break inside; the messages in order, and the bad lines.
struct LogCheck {
    std::vector<std::wstring> messages;
    size_t badLines = 0;
    std::wstring firstBad;  // the first bad line (or what is wrong with the file), for the failure message
};
LogCheck CheckLog(const std::string& bytes);

size_t CountMessages(const std::vector<std::wstring>& messages, const std::wstring& text);

// One overlapped write on a client end, waited for at most timeoutMs.
bool WriteAll(HANDLE pipe, const std::string& bytes, DWORD timeoutMs);

void Measure(const char* what, double value, const char* unit);
void PrintFigures(const char* when, const ProcessFigures& figures);

}  // namespace soak
