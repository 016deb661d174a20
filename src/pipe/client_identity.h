// Who sent a request on the control pipe: the client's process id, and the
// account of the identity that its open lends the server (identification
// level is enough to read it). The account is read from the thread's
// impersonation token, never from the process by id, which id reuse could
// mislead.
#pragma once

#include <windows.h>

// "DOMAIN\name" (an account name is at most 256 characters, a domain 15),
// or a SID's text, with the terminator.
constexpr int CLIENT_USER_CHARS = 300;

// What a client whose identity cannot be read is shown as; it is served all the same.
#define CLIENT_USER_UNKNOWN L"unknown"

// 0 when the pipe cannot say.
DWORD ReadClientProcessId(HANDLE pipe);

// Only after the request has been read: a client is impersonated only once it
// has written. Fills user with "DOMAIN\name", its SID text when the name
// cannot be looked up, or CLIENT_USER_UNKNOWN. Returns 0 only when the thread
// could not return to the service's own identity: it must then serve no one.
int ReadClientUser(HANDLE pipe, WCHAR* user);
