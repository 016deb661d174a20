#include "pipe_client.h"

namespace wire {

HANDLE OpenPipe(const std::wstring& name, DWORD timeoutMs, DWORD* lastError)
{
    ULONGLONG start = GetTickCount64();
    for (;;) {
        HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            return pipe;
        DWORD error = GetLastError();
        if (lastError != nullptr)
            *lastError = error;
        ULONGLONG spent = GetTickCount64() - start;
        if (spent >= timeoutMs || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY))
            return INVALID_HANDLE_VALUE;
        DWORD left = static_cast<DWORD>(timeoutMs - spent);
        if (error == ERROR_PIPE_BUSY)
            WaitNamedPipeW(name.c_str(), left < 1000 ? left : 1000);
        else
            Sleep(1);
    }
}

DWORD Transfer(HANDLE pipe, bool write, void* buffer, DWORD size, DWORD timeoutMs, DWORD* error)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        *error = GetLastError();
        return 0;
    }
    DWORD done = 0;
    BOOL ok = write ? WriteFile(pipe, buffer, size, nullptr, &overlapped)
                    : ReadFile(pipe, buffer, size, nullptr, &overlapped);
    *error = ok ? 0 : GetLastError();
    if (ok || *error == ERROR_IO_PENDING) {
        *error = 0;
        if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            *error = WAIT_TIMEOUT;
        }
        if (!GetOverlappedResult(pipe, &overlapped, &done, TRUE) && *error == 0)
            *error = GetLastError();
    }
    CloseHandle(overlapped.hEvent);
    return done;
}

bool WriteAll(HANDLE pipe, const std::string& bytes, DWORD timeoutMs)
{
    std::string copy = bytes;
    DWORD error = 0;
    DWORD written = Transfer(pipe, true, &copy[0], static_cast<DWORD>(copy.size()), timeoutMs, &error);
    return error == 0 && written == bytes.size();
}

bool Transact(HANDLE pipe, const std::string& request, std::string* reply, DWORD timeoutMs)
{
    ULONGLONG start = GetTickCount64();
    reply->clear();
    if (!request.empty() && !WriteAll(pipe, request, timeoutMs))
        return false;
    DWORD error = 0;
    for (;;) {
        ULONGLONG spent = GetTickCount64() - start;
        if (spent >= timeoutMs)
            return false;
        char buffer[256];
        DWORD read = Transfer(pipe, false, buffer, sizeof(buffer), static_cast<DWORD>(timeoutMs - spent), &error);
        reply->append(buffer, read);
        if (error != 0)
            return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;  // the server hung up
    }
}

DWORD Client::Open(const std::wstring& name)
{
    return OpenWhenFree(name, 0);
}

DWORD Client::OpenWhenFree(const std::wstring& name, DWORD timeoutMs)
{
    Close();
    DWORD error = 0;
    handle_ = OpenPipe(name, timeoutMs, &error);
    return handle_ == INVALID_HANDLE_VALUE ? error : 0;
}

bool Client::Write(const std::string& bytes)
{
    return WriteAll(handle_, bytes, 5000);
}

std::string Client::Read(size_t count, DWORD timeoutMs, DWORD* error)
{
    std::string bytes(count, '\0');
    bytes.resize(Transfer(handle_, false, &bytes[0], static_cast<DWORD>(count), timeoutMs, error));
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

}  // namespace wire
