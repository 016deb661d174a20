// Helpers of the control pipe's tests: request bytes, real pipe clients with
// bounded reads, a server end made like the service's, and the seam's fakes.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "adapter/adapter_control.h"
#include "pipe/pipe_platform.h"

namespace pipetest {

// Bytes from a list of values 0..255.
std::string Bytes(std::initializer_list<int> values);
std::string Header(WORD magic, WORD version, BYTE command, DWORD dataSize, BYTE status = 0, WORD reserved = 0);
// "TB", version 1, COMMAND_ADAPTER, dataSize 7, the address 00-11-22-33-44-55 and the action.
std::string AdapterRequest(BYTE action);
// The 12 bytes the server answers with.
std::string Reply(BYTE command, BYTE status);
// The 24 bytes of a version 2 reply: the header, then outcome, off and on code.
std::string OutcomeReply(BYTE command, BYTE status, DWORD outcome, DWORD offResult = 0, DWORD onResult = 0);
std::string Hex(const std::string& bytes);

// Waits until the predicate holds, polling each millisecond; false after timeoutMs.
bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs = 5000);

// A client end, overlapped so that every read is bounded.
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
    // Reads up to `count` bytes, waiting at most timeoutMs for the first of
    // them; *error is 0, or the read's error (the server's end has gone:
    // ERROR_BROKEN_PIPE or ERROR_PIPE_NOT_CONNECTED), or WAIT_TIMEOUT.
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

// A server end made like the service's (same open and pipe mode) under a name of
// the test's own, with one client connected to it.
class PipePair {
public:
    PipePair();
    ~PipePair();
    PipePair(const PipePair&) = delete;
    PipePair& operator=(const PipePair&) = delete;

    bool Ready() const { return server_ != INVALID_HANDLE_VALUE && client.Handle() != INVALID_HANDLE_VALUE; }
    HANDLE Server() const { return server_; }
    // Bytes waiting at the server end, as its own peek sees them.
    DWORD ServerAvailable() const;

    Client client;

private:
    HANDLE server_ = INVALID_HANDLE_VALUE;
};

// Fakes for the seam's adapter actions: they count calls and keep the 8 bytes
// from the address they were given (the address, the action byte, one more).
struct AdapterCalls {
    std::atomic<int> restarts{0};
    std::atomic<int> disables{0};
    std::string lastAddressBytes;
    // Runs inside the action, on the calling thread.
    std::function<void()> during;
    // What the action reports it did.
    AdapterOutcome outcome;
};
extern AdapterCalls g_adapterCalls;
int FakeRestartAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome);
int FakeDisableAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome);

// Saves the seam table, puts the adapter fakes in, and restores it on destruction.
class ScopedPipePlatform {
public:
    ScopedPipePlatform();
    ~ScopedPipePlatform();
    ScopedPipePlatform(const ScopedPipePlatform&) = delete;
    ScopedPipePlatform& operator=(const ScopedPipePlatform&) = delete;

private:
    PipePlatform saved_;
};

// Count of the messages equal to text.
int CountMessages(const std::vector<std::wstring>& messages, const std::wstring& text);

}  // namespace pipetest
