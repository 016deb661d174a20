// What the load and soak tests check from outside the service: whether every
// line of its log is whole, and the figures they print.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/process_figures.h"

namespace soak {

// The process id the service manager reports for the service, 0 when none.
DWORD ServiceProcessId(SC_HANDLE service);

// A log file's bytes checked line by line: one byte-order mark at the start,
// then only lines of "YYYY/MM/DD hh:mm:ss  message\r\n" with no other line
// break inside; the messages in order, and the bad lines.
struct LogCheck {
    std::vector<std::wstring> messages;
    size_t badLines = 0;
    std::wstring firstBad;  // the first bad line (or what is wrong with the file), for the failure message
};
LogCheck CheckLog(const std::string& bytes);

void Measure(const char* what, double value, const char* unit);
void PrintFigures(const char* when, const ProcessFigures& figures);

}  // namespace soak
