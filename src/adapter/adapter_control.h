// Adapter control: find a network adapter by its 6-byte hardware address and
// switch its network connection off, or off and on again.
#pragma once

#include <windows.h>

// The request's hardware address is 6 bytes.
constexpr int HARDWARE_ADDRESS_LENGTH = 6;

// Both always return 1; what happened shows only in the diagnostic log.
int RestartAdapter(const BYTE* hardwareAddress);
int DisableAdapter(const BYTE* hardwareAddress);
