// Helpers shared by the test executables: real files under Wine's drives,
// the built executables beside the tests, and reading the diagnostic log.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/pipe_client.h"
#include "support/processes.h"
#include "support/wire_bytes.h"

namespace test {

// The folder and file of the log that the service writes without a log switch.
const WCHAR SERVICE_LOG_ROOT[] = L"C:\\norva";
const WCHAR SERVICE_LOG_FILE[] = L"C:\\norva\\Tobra Service\\Service.txt";

// Polls the condition every millisecond until it holds; false after timeoutMs.
// For state that another thread writes with no event to wait on.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 5000);
// Whether a thread, process or event is signalled within timeoutMs (false for null).
bool Signalled(HANDLE handle, DWORD timeoutMs = 10000);

// Names the rows of a parameterized test by their `name` member.
struct RowName {
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const
    {
        return info.param.name;
    }
};

// Puts a value in a process-wide slot (a seam table, one of its entries, a
// global) for the object's life, and puts the old value back.
template <typename T>
class ScopedSwap {
public:
    explicit ScopedSwap(T& slot) : slot_(slot), saved_(slot) {}
    ScopedSwap(T& slot, const T& value) : slot_(slot), saved_(slot) { slot_ = value; }
    ~ScopedSwap() { slot_ = saved_; }
    ScopedSwap(const ScopedSwap&) = delete;
    ScopedSwap& operator=(const ScopedSwap&) = delete;

private:
    T& slot_;
    T saved_;
};

// Folder of the running test executable; the service executable is built beside it.
std::wstring ModuleDirectory();

// Removes a file or a folder with everything in it; true when nothing is left.
bool DeleteTree(const std::wstring& path);

// Open handles of this process. Wine 8's GetProcessHandleCount always says 0;
// there each of the low handle values, where Wine puts handles, is probed.
DWORD ProcessHandleCount();
// Waits until the count is back at `expected` (Wine closes some of a thread's
// handles just after the thread has ended); gives the last count seen.
DWORD HandleCountSettledAt(DWORD expected, DWORD timeoutMs = 2000);
bool PathExists(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
// Size of a file in bytes, or 0 when it cannot be read.
ULONGLONG FileSize(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// UTF-16LE bytes of a wide string (no terminator), for comparing file contents.
std::string Utf16Bytes(const std::wstring& text);

// Points the diagnostic log at a folder of the test's own (file mode), so that
// a test can assert the lines that its code logs. Restores the log on destruction.
class ScopedTestLog {
public:
    explicit ScopedTestLog(const std::wstring& folder, WORD mode = 0x0001);
    ~ScopedTestLog();
    ScopedTestLog(const ScopedTestLog&) = delete;
    ScopedTestLog& operator=(const ScopedTestLog&) = delete;

    std::wstring FilePath() const;
    // The messages of the file, stamps and line ends removed, in order.
    std::vector<std::wstring> Messages() const;

private:
    std::wstring folder_;
    WORD savedMode_;
    std::wstring savedDirectory_;
    std::wstring savedFileName_;
};

// count distinct hardware addresses (00-11-22-33-hi-lo for 0 to count - 1)
// separated by ';', in the 17-character form or the 12-digit one.
std::wstring AddressList(int count, bool digitsOnly);
// count distinct SIDs of the most sub-authorities: 15 of 10 digits each
// (170 characters).
std::vector<std::wstring> LongestSids(int count);
// Entries as one REG_MULTI_SZ: each terminated, then one more terminator.
std::wstring MultiString(const std::vector<std::wstring>& entries);
// Writes a value, creating its key (the 64-bit view); name null: the key's
// default value. REG_SZ data without its terminator, REG_MULTI_SZ as
// MultiString gives it.
bool WriteRegistryValue(HKEY root, const WCHAR* key, const WCHAR* name, DWORD type, const std::wstring& data);

// An object's access list as "<type> <SID> 0x<mask>" entries in order (type 0:
// allowed); one "unreadable" entry when the list cannot be read.
std::vector<std::string> AccessEntries(HANDLE object);

// Records the Event Log's events in place of the real log while it lives:
// the source is opened (and closed at the end) through the seam, and the
// clock is the test's to set.
struct RecordedEvent {
    DWORD id;
    WORD type;
    std::vector<std::wstring> strings;
};
class EventRecorder {
public:
    EventRecorder();
    ~EventRecorder();
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    std::vector<RecordedEvent> Events();
    // The events with this id.
    std::vector<RecordedEvent> Events(DWORD id);
    static volatile DWORD tick;  // what GetTickCount says

private:
    static HANDLE WINAPI Register(LPCWSTR server, LPCWSTR source);
    static BOOL WINAPI Report(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD size,
                              LPCWSTR* strings, LPVOID data);
    static BOOL WINAPI Deregister(HANDLE source);
    static DWORD WINAPI Tick();
};
std::ostream& operator<<(std::ostream& out, const RecordedEvent& event);

// This process's account as the service names a client: "DOMAIN\name".
std::wstring OwnAccountName();
// The diagnostic log's line for a request of this process.
std::wstring OwnClientLine();

// How many of the messages are exactly `text`.
int CountMessages(const std::vector<std::wstring>& messages, const std::wstring& text);

// Messages of a log file's raw bytes: checks the stamp shape of every line.
std::vector<std::wstring> ParseLogMessages(const std::string& bytes);

}  // namespace test
