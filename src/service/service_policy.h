// Administrators' policy: which adapters the service may switch and who may
// use its control pipe. Opt-in and read once at start: each value from Group
// Policy's key when it is there and not empty, else from the installer's key;
// a value that is absent or empty in both leaves that part open, as it always
// was.
#pragma once

#include <windows.h>

#include "tobra_policy_text.h"

struct ServicePolicy {
    int adaptersRestricted;  // AllowedAdapters is set: only its addresses may be switched
    int adapterCount;
    BYTE adapters[TOBRA_POLICY_MAX_ADAPTERS][TOBRA_HARDWARE_ADDRESS_SIZE];
    // AllowedClients: each SID terminated, then the list's terminator; empty
    // (a terminator first): Everyone may use the pipe.
    WCHAR allowedClients[TOBRA_POLICY_CLIENT_MULTI_SZ_CHARS];
};

// Written by ServiceMain before the window thread exists; read-only after.
extern ServicePolicy g_policy;

// Reads both settings into g_policy. 1 when each is absent, empty or valid;
// 0 when one is not (a wrong type, an empty entry before another, an entry
// that is not a hardware address or not a SID, too many, a value that cannot
// be read), after logging
// "Setting %s is invalid" with its name.
int ReadServicePolicy();

// Whether the policy lets the adapter with these 6 address bytes be switched.
int IsAdapterAllowed(const BYTE* hardwareAddress);
