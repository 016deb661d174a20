#include "pipe_test_support.h"

#include <stdio.h>

#include "pipe/control_message.h"
#include "pipe/pipe_server.h"

namespace pipetest {

AdapterCalls g_adapterCalls;

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

int FakeEnableAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome)
{
    if (outcome != nullptr)
        *outcome = g_adapterCalls.outcome;
    return RecordAdapterCall(g_adapterCalls.enables, hardwareAddress);
}

ScopedPipePlatform::ScopedPipePlatform()
{
    g_adapterCalls.restarts = 0;
    g_adapterCalls.disables = 0;
    g_adapterCalls.enables = 0;
    g_adapterCalls.lastAddressBytes.clear();
    g_adapterCalls.during = nullptr;
    g_adapterCalls.outcome = {OUTCOME_SWITCHED, S_OK, S_OK, {}};
    g_pipePlatform.RestartAdapter = FakeRestartAdapter;
    g_pipePlatform.DisableAdapter = FakeDisableAdapter;
    g_pipePlatform.EnableAdapter = FakeEnableAdapter;
}

ScopedPipePlatform::~ScopedPipePlatform()
{
    g_adapterCalls.during = nullptr;
    g_adapterCalls.outcome = {OUTCOME_SWITCHED, S_OK, S_OK, {}};
}

}  // namespace pipetest
