// Administrators' policy: which adapters the service may switch and who may
// use its control pipe. Opt-in and read once at start: each value from Group
// Policy's key when it is there, else from the installer's key; a value that
// is absent or empty leaves that part open, as it always was.
#pragma once

#include <windows.h>

// Where the settings live, under HKEY_LOCAL_MACHINE, and their names.
extern const WCHAR POLICY_GROUP_POLICY_KEY[];  // Software\Policies\norva\Tobra Service
extern const WCHAR POLICY_SETTINGS_KEY[];      // Software\norva\Tobra Service (the installer's)
extern const WCHAR POLICY_ALLOWED_ADAPTERS[];  // REG_MULTI_SZ of hardware addresses
extern const WCHAR POLICY_ALLOWED_CLIENTS[];   // REG_SZ: one SID, "S-1-..."

// The most addresses AllowedAdapters may hold; a longer list is invalid.
constexpr int POLICY_MAX_ADAPTERS = 256;
// The longest SID text: "S-1-" and 15 sub-authorities of up to 10 digits.
constexpr int POLICY_SID_CHARS = 200;

struct ServicePolicy {
    int adaptersRestricted;  // AllowedAdapters is set: only its addresses may be switched
    int adapterCount;
    BYTE adapters[POLICY_MAX_ADAPTERS][6];
    WCHAR allowedClient[POLICY_SID_CHARS];  // AllowedClients, or empty: Everyone may use the pipe
};

// Written by ServiceMain before the window thread exists; read-only after.
extern ServicePolicy g_policy;

// Reads both settings into g_policy. 1 when each is absent, empty or valid;
// 0 when one is not (a wrong type, an entry that is not a hardware address, a
// string that is not a SID, a value that cannot be read), after logging
// "Setting %s is invalid" with its name.
int ReadServicePolicy();

// Whether the policy lets the adapter with these 6 address bytes be switched.
int IsAdapterAllowed(const BYTE* hardwareAddress);
