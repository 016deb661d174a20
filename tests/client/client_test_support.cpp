// Test pipe server: overlapped throughout, so that Stop ends it at any point.
#include "client_test_support.h"

#include <sddl.h>

#include "support/test_support.h"

namespace test {

std::wstring UniquePipeName()
{
    static LONG counter = 0;
    return L"\\\\.\\pipe\\tobra-client-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&counter));
}

FakePipeServer::FakePipeServer(ServerBehaviour behaviour, std::string reply, int clients, std::wstring name,
                               const wchar_t* security)
    : behaviour_(behaviour), reply_(std::move(reply)), clients_(clients), name_(std::move(name))
{
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (security != nullptr && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                   security, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr))
        return;
    pipe_ = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 1000,
                             security != nullptr ? &attributes : nullptr);
    LocalFree(attributes.lpSecurityDescriptor);
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe_ != INVALID_HANDLE_VALUE && stop_ != nullptr)
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

FakePipeServer::~FakePipeServer()
{
    Stop();
    if (pipe_ != INVALID_HANDLE_VALUE)
        CloseHandle(pipe_);
    if (stop_ != nullptr)
        CloseHandle(stop_);
}

void FakePipeServer::Stop()
{
    if (thread_ == nullptr)
        return;
    SetEvent(stop_);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    thread_ = nullptr;
}

std::vector<std::string> FakePipeServer::Requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int FakePipeServer::Connections()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

DWORD WINAPI FakePipeServer::Run(LPVOID self)
{
    static_cast<FakePipeServer*>(self)->Serve();
    return 0;
}

// Waits for an overlapped call or the stop event; false on stop or failure.
bool FakePipeServer::Await(OVERLAPPED* overlapped, BOOL started, DWORD* transferred)
{
    *transferred = 0;
    if (!started) {
        DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED)
            return true;
        if (error != ERROR_IO_PENDING)
            return false;
        HANDLE waitList[2] = {stop_, overlapped->hEvent};
        if (WaitForMultipleObjects(2, waitList, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            CancelIo(pipe_);
            GetOverlappedResult(pipe_, overlapped, transferred, TRUE);
            return false;
        }
    }
    return GetOverlappedResult(pipe_, overlapped, transferred, FALSE) != FALSE;
}

std::string FakePipeServer::Answer(const std::string& request)
{
    unsigned version = request.size() >= 4 ? static_cast<BYTE>(request[2]) | static_cast<BYTE>(request[3]) << 8 : 0;
    if (behaviour_ == ServerBehaviour::VersionOne && version > 1)
        return "";
    if (behaviour_ == ServerBehaviour::DropFirstProbe && version > 1 && probesDropped_++ == 0)
        return "";
    if ((behaviour_ == ServerBehaviour::VersionTwo || behaviour_ == ServerBehaviour::DropFirstProbe) &&
        request.size() > 4 && request[4] == 2)
        return wire::OutcomeReply(2, 0, 0);
    return reply_;
}

void FakePipeServer::Serve()
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buffer(70000);
    for (int client = 0; client < clients_ && WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0; ++client) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event;
        DWORD transferred = 0;
        BOOL connected = ConnectNamedPipe(pipe_, &overlapped);
        // A client that opened and closed again before the call (one that
        // checked the server and left) still counts.
        bool cameAndWent = !connected && GetLastError() == ERROR_NO_DATA;
        if (!cameAndWent && !Await(&overlapped, connected, &transferred))
            break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++connections_;
        }
        if (cameAndWent) {
            DisconnectNamedPipe(pipe_);
            continue;
        }
        bool hold = false;
        if (behaviour_ != ServerBehaviour::CloseAtConnect) {
            // The client writes its request in one write, so one read takes it.
            overlapped = OVERLAPPED{};
            overlapped.hEvent = event;
            if (Await(&overlapped,
                      ReadFile(pipe_, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped),
                      &transferred)) {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.emplace_back(buffer.data(), transferred);
            } else {
                DisconnectNamedPipe(pipe_);  // the client left, or a stop
                continue;
            }
            std::string answer = Answer(std::string(buffer.data(), transferred));
            bool replies = behaviour_ != ServerBehaviour::CloseWithoutReply && behaviour_ != ServerBehaviour::Silent;
            if (replies && !answer.empty()) {
                overlapped = OVERLAPPED{};
                overlapped.hEvent = event;
                Await(&overlapped,
                      WriteFile(pipe_, answer.data(), static_cast<DWORD>(answer.size()), nullptr, &overlapped),
                      &transferred);
                if (behaviour_ != ServerBehaviour::ReplyAndHold)
                    FlushFileBuffers(pipe_);  // until the client has read it, or closed
            }
            hold = behaviour_ == ServerBehaviour::Silent || behaviour_ == ServerBehaviour::ReplyAndHold;
        }
        if (hold)
            WaitForSingleObject(stop_, INFINITE);
        // The last client is let go by the close below, so that one coming
        // back finds no pipe rather than a busy one.
        if (client + 1 < clients_)
            DisconnectNamedPipe(pipe_);
    }
    // Gone, as a server that has ended: the name no longer opens.
    CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
    CloseHandle(event);
}

TobractlRun RunTobractl(const std::wstring& arguments)
{
    TobractlRun run;
    run.exitCode =
        RunCapturedInFiles(L"\"" + ModuleDirectory() + L"\\tobractl.exe\" " + arguments, 20000, &run.out, &run.err);
    return run;
}

}  // namespace test
