// What the benchmark and its floor server share.
#pragma once

#include <windows.h>

// The floor server: a service of its own, so that it runs as Tobra Service does.
#define BENCH_ECHO_SERVICE_NAME L"Tobra Bench Echo"
#define BENCH_ECHO_PIPE_NAME L"\\\\.\\pipe\\norva\\Tobra Bench Echo"
