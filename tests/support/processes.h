// Child processes and the process list, for the tests and the benchmark.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test {

// Runs a program with a command line, waits at most timeoutMs; returns its exit
// code, or -1 when it could not start or did not end in time (it is then killed).
long RunProcess(const std::wstring& commandLine, DWORD timeoutMs);

// Runs a program with its standard output and error captured in *output; its
// exit code, or -1 when it could not start or did not end in time (it is then killed).
long RunCaptured(const std::wstring& commandLine, DWORD timeoutMs, std::string* output);
// The same through a temporary file instead of a pipe, for programs that
// cannot write to a pipe under Wine (node.exe), and bounded however the
// program behaves.
// Standard error goes to *errors, or with the output when errors is null.
long RunCapturedInFiles(const std::wstring& commandLine, DWORD timeoutMs, std::string* output,
                        std::string* errors = nullptr);

// A program started with a command line, killed and closed if still running
// when the object goes.
class ChildProcess {
public:
    explicit ChildProcess(const std::wstring& commandLine);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess& operator=(ChildProcess&&) = delete;

    bool Started() const { return process_ != nullptr; }
    HANDLE Handle() const { return process_; }
    // Exit code, or -1 when it did not start or did not end within timeoutMs.
    long Wait(DWORD timeoutMs);

private:
    HANDLE process_ = nullptr;
};

// Everything in an open file from its start (INVALID_HANDLE_VALUE: nothing); closes it.
std::string ReadAndClose(HANDLE file);

// Ids of the running processes with this image name ("TobraService.exe");
// *listed is false when the list could not be had.
std::vector<DWORD> ProcessIds(const wchar_t* imageName, bool* listed = nullptr);

}  // namespace test
