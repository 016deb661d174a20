// The stand-in's view of the machine: adapters as connections, and the three
// small text files that hold what the platform would keep for itself. The
// server, -list and the tests use them from different processes, so every
// read-modify-write runs under one named mutex.
// winsock2.h before windows.h, or iphlpapi.h leaves out the adapter records.
#include <winsock2.h>
#include <iphlpapi.h>

#include "standin/standin.h"
#include "tobra_adapter_list.h"

#include <shlobj.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

namespace {

constexpr WCHAR FILE_MUTEX_NAME[] = L"TobraStandinDataFiles";
constexpr ULONG FIRST_ADAPTER_BUFFER = 16384;
constexpr int ADAPTER_LIST_ATTEMPTS = 4;

// Holds the data files' mutex for its lifetime.
class FileLock {
public:
    FileLock()
    {
        mutex_ = CreateMutexW(nullptr, FALSE, FILE_MUTEX_NAME);
        if (mutex_ == nullptr) {
            result_ = HRESULT_FROM_WIN32(GetLastError());
            return;
        }
        DWORD wait = WaitForSingleObject(mutex_, STANDIN_FILE_LOCK_MS);
        // An owner that died mid-write leaves at worst a short file; carry on.
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
            result_ = S_OK;
        else
            result_ = HRESULT_FROM_WIN32(wait == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError());
    }
    ~FileLock()
    {
        if (mutex_ == nullptr)
            return;
        if (SUCCEEDED(result_))
            ReleaseMutex(mutex_);
        CloseHandle(mutex_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    HRESULT Result() const { return result_; }

private:
    HANDLE mutex_ = nullptr;
    HRESULT result_ = E_FAIL;
};

HRESULT LastErrorResult()
{
    DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// A missing file reads as empty.
HRESULT ReadDataFile(const WCHAR* fileName, std::string* text)
{
    text->clear();
    std::wstring path;
    HRESULT result = StandinDataPath(fileName, &path);
    if (FAILED(result))
        return result;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
    }
    char buffer[4096];
    DWORD read = 0;
    for (;;) {
        if (!ReadFile(file, buffer, sizeof(buffer), &read, nullptr)) {
            result = LastErrorResult();
            break;
        }
        if (read == 0)
            break;
        text->append(buffer, read);
    }
    CloseHandle(file);
    return result;
}

HRESULT WriteDataFile(const WCHAR* fileName, const std::string& text, bool append)
{
    std::wstring path;
    HRESULT result = StandinDataPath(fileName, &path);
    if (FAILED(result))
        return result;
    HANDLE file = CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrorResult();
    DWORD written = 0;
    if (!text.empty() &&
        (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written != text.size()))
        result = LastErrorResult();
    CloseHandle(file);
    return result;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Whitespace-separated words of a line.
std::vector<std::string> SplitWords(const std::string& line)
{
    std::vector<std::string> words;
    size_t start = line.find_first_not_of(" \t");
    while (start != std::string::npos) {
        size_t end = line.find_first_of(" \t", start);
        words.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? end : line.find_first_not_of(" \t", end);
    }
    return words;
}

bool SameText(const std::string& a, const std::string& b)
{
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
    return utf8;
}

// The adapter list as GetAdaptersAddresses fills it, in a heap buffer the
// caller frees; null with S_OK when the machine has no adapter.
HRESULT GetAdapterChain(IP_ADAPTER_ADDRESSES** chain)
{
    ULONG error = 0;
    *chain = TobraGetAdapterList(&TOBRA_ADAPTER_LIST_CALLS,
                                 GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                 FIRST_ADAPTER_BUFFER, ADAPTER_LIST_ATTEMPTS, &error);
    if (*chain != nullptr || error == ERROR_NO_DATA)
        return S_OK;
    return error == ERROR_NOT_ENOUGH_MEMORY ? E_OUTOFMEMORY : HRESULT_FROM_WIN32(error);
}

// Disconnected connections by GUID text, from the state file's lines.
HRESULT ReadDisconnected(std::vector<std::string>* disconnected)
{
    disconnected->clear();
    std::string text;
    HRESULT result = ReadDataFile(STANDIN_STATE_FILE, &text);
    if (FAILED(result))
        return result;
    for (const std::string& line : SplitLines(text)) {
        std::vector<std::string> words = SplitWords(line);
        if (words.size() == 2 && words[1] == "disconnected")
            disconnected->push_back(words[0]);
    }
    return S_OK;
}

bool Contains(const std::vector<std::string>& list, const std::string& guidText)
{
    for (const std::string& entry : list) {
        if (SameText(entry, guidText))
            return true;
    }
    return false;
}

}  // namespace

std::string FormatGuid(const GUID& guid)
{
    char text[64];
    snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
             guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool ParseGuid(const std::string& text, GUID* guid)
{
    // Only the braced 38-character form; IIDFromString would accept no less.
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    WCHAR wide[39];
    for (size_t i = 0; i < text.size(); ++i)
        wide[i] = static_cast<unsigned char>(text[i]);
    wide[38] = L'\0';
    return SUCCEEDED(IIDFromString(wide, guid));
}

HRESULT StandinDataPath(const WCHAR* fileName, std::wstring* path)
{
    WCHAR folder[MAX_PATH];
    HRESULT result = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    if (FAILED(result))
        return result;
    *path = folder;
    *path += L'\\';
    *path += STANDIN_DATA_FOLDER;
    if (!CreateDirectoryW(path->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return LastErrorResult();
    *path += L'\\';
    *path += fileName;
    return S_OK;
}

HRESULT LoadConnections(std::vector<StandinConnection>* connections)
{
    connections->clear();
    std::vector<std::string> disconnected;
    {
        FileLock lock;
        if (FAILED(lock.Result()))
            return lock.Result();
        HRESULT result = ReadDisconnected(&disconnected);
        if (FAILED(result))
            return result;
    }
    IP_ADAPTER_ADDRESSES* chain = nullptr;
    HRESULT result = GetAdapterChain(&chain);
    if (FAILED(result))
        return result;
    for (IP_ADAPTER_ADDRESSES* adapter = chain; adapter != nullptr; adapter = adapter->Next) {
        // The Network Connections folder has no loopback connection either.
        if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK || adapter->AdapterName == nullptr)
            continue;
        StandinConnection connection = {};
        if (!ParseGuid(adapter->AdapterName, &connection.guid))
            continue;
        connection.guidText = FormatGuid(connection.guid);
        if (adapter->FriendlyName != nullptr)
            connection.name = adapter->FriendlyName;
        if (adapter->Description != nullptr)
            connection.deviceName = adapter->Description;
        connection.addressLength = adapter->PhysicalAddressLength;
        if (connection.addressLength > sizeof(connection.address))
            connection.addressLength = sizeof(connection.address);
        memcpy(connection.address, adapter->PhysicalAddress, connection.addressLength);
        connection.connected = !Contains(disconnected, connection.guidText);
        connections->push_back(connection);
    }
    TobraFreeAdapterList(&TOBRA_ADAPTER_LIST_CALLS, chain);
    return S_OK;
}

HRESULT ReadConnected(const std::string& guidText, bool* connected)
{
    FileLock lock;
    if (FAILED(lock.Result()))
        return lock.Result();
    std::vector<std::string> disconnected;
    HRESULT result = ReadDisconnected(&disconnected);
    if (SUCCEEDED(result))
        *connected = !Contains(disconnected, guidText);
    return result;
}

HRESULT WriteConnected(const std::string& guidText, bool connected)
{
    FileLock lock;
    if (FAILED(lock.Result()))
        return lock.Result();
    std::vector<std::string> disconnected;
    HRESULT result = ReadDisconnected(&disconnected);
    if (FAILED(result))
        return result;
    std::string text;
    for (const std::string& entry : disconnected) {
        if (!SameText(entry, guidText))
            text += entry + " disconnected\r\n";
    }
    if (!connected)
        text += guidText + " disconnected\r\n";
    return WriteDataFile(STANDIN_STATE_FILE, text, false);
}

HRESULT RecordAction(const char* action, const StandinConnection& connection, HRESULT result)
{
    char code[16];
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(result));
    std::string line =
        std::string(action) + " " + connection.guidText + " " + code + " " + Utf8(connection.name) + "\r\n";
    FileLock lock;
    if (FAILED(lock.Result()))
        return lock.Result();
    return WriteDataFile(STANDIN_ACTION_FILE, line, true);
}

HRESULT TakeInjection(const char* action, const std::string& guidText, StandinInjection* injection)
{
    *injection = StandinInjection{false, S_OK, 0};
    FileLock lock;
    if (FAILED(lock.Result()))
        return lock.Result();
    std::string text;
    HRESULT result = ReadDataFile(STANDIN_INJECT_FILE, &text);
    if (FAILED(result))
        return result;
    std::string kept;
    bool taken = false;
    for (const std::string& line : SplitLines(text)) {
        std::vector<std::string> words = SplitWords(line);
        if (!taken && words.size() == 4 && SameText(words[0], action) && SameText(words[1], guidText)) {
            unsigned long value = strtoul(words[3].c_str(), nullptr, 0);
            if (words[2] == "fail") {
                injection->fail = true;
                injection->code = static_cast<HRESULT>(value);
                taken = true;
                continue;
            }
            if (words[2] == "delay") {
                injection->delayMs = value < STANDIN_MAX_DELAY_MS ? value : STANDIN_MAX_DELAY_MS;
                taken = true;
                continue;
            }
        }
        kept += line + "\r\n";
    }
    if (!taken)
        return S_FALSE;
    result = WriteDataFile(STANDIN_INJECT_FILE, kept, false);
    return FAILED(result) ? result : S_OK;
}

HRESULT AddInjection(const char* action, const std::string& guidText, const char* kind, unsigned long value)
{
    char number[16];
    if (strcmp(kind, "fail") == 0)
        snprintf(number, sizeof(number), "0x%08lX", value);
    else
        snprintf(number, sizeof(number), "%lu", value);
    std::string line = std::string(action) + " " + guidText + " " + kind + " " + number + "\r\n";
    FileLock lock;
    if (FAILED(lock.Result()))
        return lock.Result();
    return WriteDataFile(STANDIN_INJECT_FILE, line, true);
}

HRESULT ResetStandinData()
{
    FileLock lock;
    if (FAILED(lock.Result()))
        return lock.Result();
    for (const WCHAR* name : {STANDIN_STATE_FILE, STANDIN_ACTION_FILE, STANDIN_INJECT_FILE}) {
        std::wstring path;
        HRESULT result = StandinDataPath(name, &path);
        if (FAILED(result))
            return result;
        if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            return LastErrorResult();
    }
    return S_OK;
}
