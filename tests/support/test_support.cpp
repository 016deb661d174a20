#include "support/test_support.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>

#include <ostream>

#include "event/event_log.h"
#include "log/log.h"
#include "tobra_wire.h"

namespace test {

namespace {

// The pipe thread reports while the test thread reads.
SRWLOCK g_eventLock = SRWLOCK_INIT;
std::vector<RecordedEvent> g_events;
HANDLE const RECORDER_SOURCE = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7E57));
EventPlatform g_savedEventPlatform;

}  // namespace

volatile DWORD EventRecorder::tick = 0;

EventRecorder::EventRecorder()
{
    AcquireSRWLockExclusive(&g_eventLock);
    g_events.clear();
    ReleaseSRWLockExclusive(&g_eventLock);
    tick = 0;
    g_savedEventPlatform = g_eventPlatform;
    g_eventPlatform = {Register, Report, Deregister, Tick};
    EventLogOpen();
}

EventRecorder::~EventRecorder()
{
    EventLogClose();
    g_eventPlatform = g_savedEventPlatform;
}

std::vector<RecordedEvent> EventRecorder::Events()
{
    AcquireSRWLockShared(&g_eventLock);
    std::vector<RecordedEvent> events = g_events;
    ReleaseSRWLockShared(&g_eventLock);
    return events;
}

std::vector<RecordedEvent> EventRecorder::Events(DWORD id)
{
    std::vector<RecordedEvent> events;
    for (const RecordedEvent& event : Events()) {
        if (event.id == id)
            events.push_back(event);
    }
    return events;
}

HANDLE WINAPI EventRecorder::Register(LPCWSTR server, LPCWSTR source)
{
    // Only the local log, under the service's name.
    if (server != nullptr || source == nullptr || std::wstring(source) != TOBRA_SERVICE_NAME) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return RECORDER_SOURCE;
}

BOOL WINAPI EventRecorder::Report(HANDLE source, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCWSTR* strings,
                                  LPVOID)
{
    RecordedEvent event = {id, type, {}};
    for (WORD i = 0; i < count; ++i)
        event.strings.push_back(strings[i] != nullptr ? strings[i] : L"(null)");
    // An event on a source not opened here would be lost for real.
    if (source != RECORDER_SOURCE)
        event.strings.push_back(L"(foreign source)");
    AcquireSRWLockExclusive(&g_eventLock);
    g_events.push_back(event);
    ReleaseSRWLockExclusive(&g_eventLock);
    return TRUE;
}

BOOL WINAPI EventRecorder::Deregister(HANDLE source)
{
    return source == RECORDER_SOURCE;
}

DWORD WINAPI EventRecorder::Tick()
{
    return tick;
}

// Read from the process's own token, not as the service reads a client's.
std::wstring OwnAccountName()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return L"(no token)";
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    BOOL got = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    CloseHandle(token);
    if (!got)
        return L"(no user)";
    WCHAR name[257];
    WCHAR domain[257];
    DWORD nameChars = 257;
    DWORD domainChars = 257;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, name, &nameChars, domain,
                           &domainChars, &use))
        return L"(no name)";
    return std::wstring(domain) + L"\\" + name;
}

std::wstring OwnClientLine()
{
    return L"  Client: " + OwnAccountName() + L" (process " + std::to_wstring(GetCurrentProcessId()) + L")";
}

std::ostream& operator<<(std::ostream& out, const RecordedEvent& event)
{
    out << "event 0x" << std::hex << event.id << std::dec << " type " << event.type << ":";
    for (const std::wstring& text : event.strings) {
        out << " [";
        for (wchar_t c : text)
            out << static_cast<char>(c < 128 ? c : '?');
        out << "]";
    }
    return out;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(1);
    }
    return true;
}

bool Signalled(HANDLE handle, DWORD timeoutMs)
{
    return handle != nullptr && WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0;
}

DWORD HandleCountSettledAt(DWORD expected, DWORD timeoutMs)
{
    DWORD count = 0;
    WaitUntil(
        [&] {
            count = ProcessHandleCount();
            return count == expected;
        },
        timeoutMs);
    return count;
}

std::wstring ModuleDirectory()
{
    WCHAR path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path);
    return text.substr(0, text.find_last_of(L'\\'));
}

bool PathExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD ProcessHandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    // Wine reuses the lowest free value first, so a bound well above what a
    // test holds finds them all.
    const ULONG_PTR LAST_HANDLE_VALUE = 0x4000;
    count = 0;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value <= LAST_HANDLE_VALUE; value += 4) {
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

bool DeleteTree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return RemoveDirectoryW(path.c_str()) != FALSE;
        return DeleteFileW(path.c_str()) != FALSE;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
                DeleteTree(path + L"\\" + name);
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

std::string ReadFileBytes(const std::wstring& path)
{
    return ReadAndClose(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

ULONGLONG FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string Utf16Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// count distinct addresses in the 17-character form ("00-11-22-33-01-02") or
// the 12-digit one ("001122330102"), separated by ';'.
std::wstring AddressList(int count, bool digitsOnly)
{
    std::wstring text;
    for (int i = 0; i < count; ++i) {
        wchar_t address[TOBRA_ADDRESS_TEXT_CHARS];
        const unsigned char bytes[6] = {
            0x00, 0x11, 0x22, 0x33, static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
        TobraFormatHardwareAddress(bytes, address);
        std::wstring entry(address);
        if (digitsOnly) {
            std::wstring digits;
            for (wchar_t c : entry) {
                if (c != L'-')
                    digits += c;
            }
            entry = digits;
        }
        text += (i > 0 ? L";" : L"") + entry;
    }
    return text;
}

std::vector<std::wstring> LongestSids(int count)
{
    std::vector<std::wstring> sids;
    for (int i = 0; i < count; ++i) {
        std::wstring sid = L"S-1-5";
        for (int sub = 0; sub < 15; ++sub)
            sid += L"-" + std::to_wstring(4000000000u + static_cast<unsigned>(i));
        sids.push_back(sid);
    }
    return sids;
}

std::wstring MultiString(const std::vector<std::wstring>& entries)
{
    std::wstring data;
    for (const std::wstring& entry : entries)
        data += entry + L'\0';
    return data + L'\0';
}

bool WriteRegistryValue(HKEY root, const WCHAR* key, const WCHAR* name, DWORD type, const std::wstring& data)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    DWORD chars = static_cast<DWORD>(data.size()) + (type == REG_MULTI_SZ ? 0 : 1);
    LSTATUS status =
        RegSetValueExW(handle, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()), chars * sizeof(WCHAR));
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

std::vector<std::string> AccessEntries(HANDLE object)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return {"unreadable"};
    std::vector<std::string> entries;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        LPWSTR sid = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || !ConvertSidToStringSidW(&ace->SidStart, &sid)) {
            entries.push_back("unreadable");
            continue;
        }
        char entry[256];  // the longest SID has 184 characters
        snprintf(entry, sizeof(entry), "%d %ls 0x%lx", ace->Header.AceType, sid, static_cast<unsigned long>(ace->Mask));
        entries.push_back(entry);
        LocalFree(sid);
    }
    LocalFree(descriptor);
    return entries;
}

int CountMessages(const std::vector<std::wstring>& messages, const std::wstring& text)
{
    int count = 0;
    for (const std::wstring& message : messages)
        count += message == text ? 1 : 0;
    return count;
}

std::vector<std::wstring> ParseLogMessages(const std::string& bytes)
{
    std::vector<std::wstring> messages;
    size_t start = 0;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
        start = 2;
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + start), (bytes.size() - start) / 2);
    const size_t STAMP = 21;  // "YYYY/MM/DD hh:mm:ss  "
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find(L"\r\n", position);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(position, end - position);
        messages.push_back(line.size() >= STAMP ? line.substr(STAMP) : L"<torn line: " + line + L">");
        position = end + 2;
    }
    return messages;
}

ScopedTestLog::ScopedTestLog(const std::wstring& folder, WORD mode)
    : folder_(folder), savedMode_(g_logMode), savedDirectory_(g_logDirectory), savedFileName_(g_logFileName)
{
    DeleteTree(folder_);
    lstrcpynW(g_logDirectory, folder_.c_str(), MAX_PATH);
    lstrcpyW(g_logFileName, L"Service.txt");
    g_logMode = mode;
}

ScopedTestLog::~ScopedTestLog()
{
    g_logMode = savedMode_;
    lstrcpynW(g_logDirectory, savedDirectory_.c_str(), MAX_PATH);
    lstrcpynW(g_logFileName, savedFileName_.c_str(), MAX_PATH);
    DeleteTree(folder_);
}

std::wstring ScopedTestLog::FilePath() const
{
    return folder_ + L"\\Service.txt";
}

std::vector<std::wstring> ScopedTestLog::Messages() const
{
    return ParseLogMessages(ReadFileBytes(FilePath()));
}

}  // namespace test
