// Figures of another process: private bytes, handles and CPU time.
#pragma once

#include <windows.h>

struct ProcessFigures {
    bool ok = false;
    double privateKiB = 0;
    DWORD handles = 0;
    double userMs = 0;
    double kernelMs = 0;
    double CpuMs() const { return userMs + kernelMs; }
};

// True in a Wine process (ntdll exports wine_get_version).
bool UnderWine();

// The handle needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ. Under Wine
// the handle count and times come from NtQuerySystemInformation (see the .cpp).
ProcessFigures MeasureProcess(HANDLE process);
// The same for a process id; not ok when it is 0 or cannot be opened.
ProcessFigures MeasureProcessId(DWORD processId);

// Under Wine the kernel's share of a process's pipe and wait calls is done by
// the wineserver. Its CPU time in ms (user plus system), read from
// Z:\proc\<pid>\stat with the Linux process id that scripts/bench puts in
// TOBRA_BENCH_WINESERVER_PID; -1 when unknown or not under Wine.
double WineserverCpuMs();
