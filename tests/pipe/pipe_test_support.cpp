#include "pipe_test_support.h"

#include <stdio.h>

#include "pipe/control_message.h"
#include "pipe/pipe_server.h"

namespace pipetest {

AdapterCalls g_adapterCalls;

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

std::string Header(WORD magic, WORD version, BYTE command, DWORD dataSize, BYTE status, WORD reserved)
{
    return Bytes({magic & 0xFF, magic >> 8, version & 0xFF, version >> 8, command, status, reserved & 0xFF,
                  reserved >> 8, static_cast<int>(dataSize & 0xFF), static_cast<int>((dataSize >> 8) & 0xFF),
                  static_cast<int>((dataSize >> 16) & 0xFF), static_cast<int>(dataSize >> 24)});
}

std::string AdapterRequest(BYTE action)
{
    return Header(CONTROL_MESSAGE_MAGIC, 1, COMMAND_ADAPTER, 7) + Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, action});
}

std::string Reply(BYTE command, BYTE status)
{
    return Bytes({0x54, 0x42, 0x01, 0x00, command, status, 0, 0, 0, 0, 0, 0});
}

std::string OutcomeReply(BYTE command, BYTE status, DWORD outcome, DWORD offResult, DWORD onResult)
{
    std::string reply = Bytes({0x54, 0x42, 0x02, 0x00, command, status, 0, 0, 12, 0, 0, 0});
    for (DWORD field : {outcome, offResult, onResult}) {
        for (int b = 0; b < 4; ++b)
            reply += static_cast<char>((field >> (8 * b)) & 0xFF);
    }
    return reply;
}

std::string Hex(const std::string& bytes)
{
    std::string text;
    char item[4];
    for (unsigned char c : bytes) {
        snprintf(item, sizeof(item), "%02X ", c);
        text += item;
    }
    return text;
}

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (predicate())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(1);
    }
}

DWORD Client::Open(const std::wstring& name)
{
    Close();
    handle_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    return handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

DWORD Client::OpenWhenFree(const std::wstring& name, DWORD timeoutMs)
{
    DWORD error = 0;
    WaitUntil(
        [&] {
            error = Open(name);
            return error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND;
        },
        timeoutMs);
    return error;
}

bool Client::Write(const std::string& bytes)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    BOOL ok = WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, 5000) != WAIT_OBJECT_0)
            CancelIo(handle_);
        ok = GetOverlappedResult(handle_, &overlapped, &written, TRUE);
    } else if (ok) {
        ok = GetOverlappedResult(handle_, &overlapped, &written, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return ok && written == bytes.size();
}

std::string Client::Read(size_t count, DWORD timeoutMs, DWORD* error)
{
    std::string bytes(count, '\0');
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD read = 0;
    *error = 0;
    if (!ReadFile(handle_, &bytes[0], static_cast<DWORD>(count), nullptr, &overlapped)) {
        DWORD code = GetLastError();
        if (code != ERROR_IO_PENDING) {
            *error = code;
            CloseHandle(overlapped.hEvent);
            return std::string();
        }
        if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(handle_);
            *error = WAIT_TIMEOUT;
        }
    }
    if (!GetOverlappedResult(handle_, &overlapped, &read, TRUE) && *error == 0)
        *error = GetLastError();
    CloseHandle(overlapped.hEvent);
    bytes.resize(read);
    return bytes;
}

std::string Client::ReadAll(size_t count, DWORD timeoutMs, DWORD* error)
{
    std::string bytes;
    DWORD start = GetTickCount();
    *error = 0;
    while (bytes.size() < count) {
        DWORD spent = GetTickCount() - start;
        bytes += Read(count - bytes.size(), spent < timeoutMs ? timeoutMs - spent : 0, error);
        if (*error != 0)
            break;
    }
    return bytes;
}

bool Client::Connected() const
{
    DWORD available = 0;
    return PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr) != FALSE;
}

DWORD Client::Available() const
{
    DWORD available = 0;
    PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr);
    return available;
}

void Client::Close()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

PipePair::PipePair()
{
    static LONG counter = 0;
    wchar_t name[128];
    swprintf(name, 128, L"\\\\.\\pipe\\tobra-pipe-tests\\%lu-%ld", GetCurrentProcessId(),
             InterlockedIncrement(&counter));
    server_ = CreateNamedPipeW(name, CONTROL_PIPE_OPEN_MODE, CONTROL_PIPE_MODE, 1, CONTROL_PIPE_BUFFER_SIZE,
                               CONTROL_PIPE_BUFFER_SIZE, CONTROL_PIPE_DEFAULT_TIMEOUT_MS, nullptr);
    if (server_ == INVALID_HANDLE_VALUE || client.Open(name) != 0)
        return;
    // The client came first, so the connect reports it at once.
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ConnectNamedPipe(server_, &overlapped) && GetLastError() != ERROR_PIPE_CONNECTED)
        client.Close();
    CloseHandle(overlapped.hEvent);
}

PipePair::~PipePair()
{
    client.Close();
    if (server_ != INVALID_HANDLE_VALUE)
        CloseHandle(server_);
}

DWORD PipePair::ServerAvailable() const
{
    DWORD available = 0;
    PeekNamedPipe(server_, nullptr, 0, nullptr, &available, nullptr);
    return available;
}

namespace {

int RecordAdapterCall(std::atomic<int>& counter, const BYTE* hardwareAddress)
{
    ++counter;
    g_adapterCalls.lastAddressBytes.assign(reinterpret_cast<const char*>(hardwareAddress), 8);
    if (g_adapterCalls.during)
        g_adapterCalls.during();
    return 1;
}

}  // namespace

int FakeRestartAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome)
{
    if (outcome != nullptr)
        *outcome = g_adapterCalls.outcome;
    return RecordAdapterCall(g_adapterCalls.restarts, hardwareAddress);
}

int FakeDisableAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome)
{
    if (outcome != nullptr)
        *outcome = g_adapterCalls.outcome;
    return RecordAdapterCall(g_adapterCalls.disables, hardwareAddress);
}

ScopedPipePlatform::ScopedPipePlatform() : saved_(g_pipePlatform)
{
    g_adapterCalls.restarts = 0;
    g_adapterCalls.disables = 0;
    g_adapterCalls.lastAddressBytes.clear();
    g_adapterCalls.during = nullptr;
    g_adapterCalls.outcome = {OUTCOME_SWITCHED, S_OK, S_OK};
    g_pipePlatform.RestartAdapter = FakeRestartAdapter;
    g_pipePlatform.DisableAdapter = FakeDisableAdapter;
}

ScopedPipePlatform::~ScopedPipePlatform()
{
    g_pipePlatform = saved_;
    g_adapterCalls.during = nullptr;
    g_adapterCalls.outcome = {OUTCOME_SWITCHED, S_OK, S_OK};
}

int CountMessages(const std::vector<std::wstring>& messages, const std::wstring& text)
{
    int count = 0;
    for (const std::wstring& message : messages)
        count += message == text ? 1 : 0;
    return count;
}

}  // namespace pipetest
