// Adapter control: find a network adapter by its 6-byte hardware address and
// switch its network connection off, or off and on again.
#pragma once

#include <windows.h>

#include "tobra_wire.h"

// The request's hardware address is 6 bytes.
constexpr int HARDWARE_ADDRESS_LENGTH = TOBRA_HARDWARE_ADDRESS_SIZE;

// An adapter name and a connection's GUID text are both "{XXXXXXXX-...}",
// 38 characters. The buffers are larger so that a longer adapter name is kept
// long enough never to equal a GUID text.
constexpr int GUID_TEXT_LENGTH = 38;
constexpr int ADAPTER_NAME_CHARS = 64;  // with the terminator

// What an adapter request did, for a client that asks for it (protocol
// version 2). The values are the wire's.
constexpr DWORD OUTCOME_NOTHING_ASKED = TOBRA_OUTCOME_NOTHING_ASKED;  // no action was named
constexpr DWORD OUTCOME_SWITCHED = TOBRA_OUTCOME_SWITCHED;  // found, and every pass succeeded (S_FALSE too)
constexpr DWORD OUTCOME_NO_ADAPTER = TOBRA_OUTCOME_NO_ADAPTER;  // no adapter has the address; the passes matched nothing
constexpr DWORD OUTCOME_FAILED = TOBRA_OUTCOME_FAILED;          // found, and a pass failed
constexpr DWORD OUTCOME_REFUSED = TOBRA_OUTCOME_REFUSED;        // administrator policy does not allow it
constexpr DWORD OUTCOME_LIST_UNAVAILABLE = TOBRA_OUTCOME_LIST_UNAVAILABLE;  // the adapter list could not be had

struct AdapterOutcome {
    DWORD outcome;      // OUTCOME_*
    HRESULT offResult;  // what the switch-off pass returned; 0 when it did not run
    HRESULT onResult;   // what a restart's or an enable's switch-on pass returned; 0 when it did not run
    char adapterName[ADAPTER_NAME_CHARS];  // the adapter found, for the Event Log; empty when none
};

// Both always return 1: the actions run as they always did, and the log shows
// what happened. When outcome is not null it receives the same, for a client
// that asks.
int RestartAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome);
int DisableAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome);
// Switches the connection on: the one the record of disabled adapters names
// for the address (Windows no longer lists a disabled adapter), else the one
// the adapter list gives, as the second pass of a restart.
int EnableAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome);

// Connects (enable non-zero) or disconnects every network connection whose
// GUID text equals adapterName, in one COM pass of its own. Returns the last
// switch's code, 0x80070002 when nothing matched, or the code of the failure
// that ended the pass. matched, when not null, receives whether a connection
// matched: a switch may fail with 0x80070002 too.
HRESULT SetConnectionState(const char* adapterName, int enable, int* matched = nullptr);
