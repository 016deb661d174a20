// The client end of a pipe as the tests, fuzzers and benchmark use it:
// overlapped, so that every open, write and read is bounded.
#pragma once

#include <windows.h>

#include <string>

namespace wire {

// Opens the client end, retrying while the pipe is busy or not there yet
// until timeoutMs (0: once). INVALID_HANDLE_VALUE when it could not be
// opened; *lastError says why.
HANDLE OpenPipe(const std::wstring& name, DWORD timeoutMs, DWORD* lastError = nullptr);

// One overlapped read or write bounded by timeoutMs: the bytes moved; *error
// is 0, the call's error (the server's end has gone: ERROR_BROKEN_PIPE or
// ERROR_PIPE_NOT_CONNECTED), or WAIT_TIMEOUT.
DWORD Transfer(HANDLE pipe, bool write, void* buffer, DWORD size, DWORD timeoutMs, DWORD* error);

// One overlapped write of all the bytes, bounded by timeoutMs; true when all went.
bool WriteAll(HANDLE pipe, const std::string& bytes, DWORD timeoutMs);

// Writes the request and reads until the server hangs up; false when the
// write failed or the time was up first. *reply: what came (empty: no reply).
bool Transact(HANDLE pipe, const std::string& request, std::string* reply, DWORD timeoutMs);

// A client end that closes itself.
class Client {
public:
    Client() = default;
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // 0 when open, else the error of CreateFileW.
    DWORD Open(const std::wstring& name);
    // Retries while the pipe is busy or not there yet; 0 when open, else the last error.
    DWORD OpenWhenFree(const std::wstring& name, DWORD timeoutMs = 5000);
    bool Write(const std::string& bytes);
    // Reads up to `count` bytes, waiting at most timeoutMs for the first of them.
    std::string Read(size_t count, DWORD timeoutMs, DWORD* error);
    // Reads until `count` bytes have come, the server's end has gone or timeoutMs passed.
    std::string ReadAll(size_t count, DWORD timeoutMs, DWORD* error);
    // Whether the server end still holds this connection (a peek succeeds).
    bool Connected() const;
    DWORD Available() const;
    void Close();
    HANDLE Handle() const { return handle_; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace wire
