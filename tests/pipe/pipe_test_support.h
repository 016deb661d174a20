// Helpers of the control pipe's tests: a server end made like the service's,
// and the seam's adapter actions.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "adapter/adapter_control.h"
#include "pipe/pipe_platform.h"
#include "support/test_support.h"

namespace pipetest {

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

    wire::Client client;

private:
    HANDLE server_ = INVALID_HANDLE_VALUE;
};

// Fakes for the seam's adapter actions: they count calls and keep the 8 bytes
// from the address they were given (the address, the action byte, one more).
struct AdapterCalls {
    std::atomic<int> restarts{0};
    std::atomic<int> disables{0};
    std::atomic<int> enables{0};
    std::string lastAddressBytes;
    // Runs inside the action, on the calling thread.
    std::function<void()> during;
    // What the action reports it did.
    AdapterOutcome outcome;
};
extern AdapterCalls g_adapterCalls;
int FakeRestartAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome);
int FakeDisableAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome);
int FakeEnableAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome);

// Saves the seam table, puts the adapter fakes in, and restores it on destruction.
class ScopedPipePlatform {
public:
    ScopedPipePlatform();
    ~ScopedPipePlatform();
    ScopedPipePlatform(const ScopedPipePlatform&) = delete;
    ScopedPipePlatform& operator=(const ScopedPipePlatform&) = delete;

private:
    test::ScopedSwap<PipePlatform> platform_{g_pipePlatform};
};

}  // namespace pipetest
