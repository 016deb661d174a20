// The control pipe's request handler: reads one request, carries out the
// adapter action it names, and answers it.
#pragma once

#include <windows.h>

// How long the handler waits for the client to take its 12-byte reply before
// it gives up on it. A client that reads gets it at once; one that never reads
// must not hold the pipe thread, every other client and the service's stop.
constexpr DWORD PIPE_REPLY_FLUSH_TIMEOUT_MS = 3000;

// Called again and again on the server end while a client is connected; never
// disconnects or closes the pipe. Returns 0 while fewer than 12 bytes are
// waiting from a client still connected (call again later), 1 when a reply was
// written, and -1 when the client is to be dropped without a further reply.
int HandlePipeRequest(HANDLE pipe);
