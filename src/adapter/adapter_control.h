// Adapter control: find a network adapter by its 6-byte hardware address and
// switch its network connection off, or off and on again.
#pragma once

#include <windows.h>

// The request's hardware address is 6 bytes.
constexpr int HARDWARE_ADDRESS_LENGTH = 6;

// An adapter name and a connection's GUID text are both "{XXXXXXXX-...}",
// 38 characters. The buffers are larger so that a longer adapter name is kept
// long enough never to equal a GUID text.
constexpr int GUID_TEXT_LENGTH = 38;
constexpr int ADAPTER_NAME_CHARS = 64;  // with the terminator

// Both always return 1; what happened shows only in the diagnostic log.
int RestartAdapter(const BYTE* hardwareAddress);
int DisableAdapter(const BYTE* hardwareAddress);

// Connects (enable non-zero) or disconnects every network connection whose
// GUID text equals adapterName, in one COM pass of its own. Returns the last
// switch's code, 0x80070002 when nothing matched, or the code of the failure
// that ended the pass.
HRESULT SetConnectionState(const char* adapterName, int enable);
