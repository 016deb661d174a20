// Helpers of the client tests: a pipe server thread of the tests' own that
// speaks the control pipe's wire format with a chosen behaviour, on a pipe name
// of its own, and a runner for tobractl.exe.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "support/wire_bytes.h"

namespace test {

enum class ServerBehaviour {
    Reply,              // read the request, write the reply, flush, disconnect
    ReplyAndHold,       // write the reply but keep the connection until stopped
    CloseWithoutReply,  // read the request, disconnect
    CloseAtConnect,     // disconnect as soon as the client is connected
    Silent,             // read the request, then keep the connection until stopped
    VersionOne,         // as Reply, but a request of version 2 is dropped without a reply
    VersionTwo,         // as Reply, but the version probe (command 2) gets its 24-byte answer
    DropFirstProbe,     // as VersionTwo, but the first version 2 request is dropped without a reply
};

// A fresh local pipe name for one test.
std::wstring UniquePipeName();

class FakePipeServer {
public:
    // Serves up to `clients` connections one after the other, on a name of its
    // own unless one is given, and then closes the pipe. `security`: the
    // pipe's descriptor as SDDL text; none: the default one (under Wine, no owner).
    FakePipeServer(ServerBehaviour behaviour, std::string reply = wire::Reply(1, 1), int clients = 1,
                   std::wstring name = UniquePipeName(), const wchar_t* security = nullptr);
    ~FakePipeServer();
    FakePipeServer(const FakePipeServer&) = delete;
    FakePipeServer& operator=(const FakePipeServer&) = delete;

    const std::wstring& Name() const { return name_; }
    // Requests read so far, one per connection that sent one.
    std::vector<std::string> Requests();
    int Connections();
    // Stops the thread (releasing a held client) and waits for it.
    void Stop();

private:
    static DWORD WINAPI Run(LPVOID self);
    void Serve();
    bool Await(OVERLAPPED* overlapped, BOOL started, DWORD* transferred);
    // What the behaviour answers to a request; empty: nothing.
    std::string Answer(const std::string& request);

    ServerBehaviour behaviour_;
    std::string reply_;
    int clients_;
    std::wstring name_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    int connections_ = 0;
    int probesDropped_ = 0;  // the serving thread's alone
};

// What one run of tobractl printed and returned.
struct TobractlRun {
    long exitCode = -1;  // -1: it did not start or did not end in time
    std::string out;     // UTF-8, as the program writes to a redirected stream
    std::string err;
};

// Runs tobractl.exe (built beside the tests) with the arguments.
TobractlRun RunTobractl(const std::wstring& arguments);

}  // namespace test
