// The log line checker, the figures printed, and a bounded client write.
#include "soak_support.h"

#include <stdio.h>

#include <vector>

#include "support/processes.h"

namespace soak {

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

void Measure(const char* what, double value, const char* unit)
{
    printf("[ MEASURE  ] %s: %.1f %s\n", what, value, unit);
    fflush(stdout);
}

void PrintFigures(const char* when, const ProcessFigures& figures)
{
    printf("[ MEASURE  ] %s: %lu handles, %.0f KiB private\n", when, static_cast<unsigned long>(figures.handles),
           figures.privateKiB);
    fflush(stdout);
}

}  // namespace soak
