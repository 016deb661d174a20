// The record of the adapters that the service switched off and has not
// switched on again (TOBRA_DISABLED_ADAPTERS_KEY): Windows leaves a disabled
// adapter out of its adapter list, so an enable could not find it otherwise.
// Reached through g_adapterPlatform's registry entries.
#pragma once

#include <windows.h>

// How a read of the record ended.
constexpr int RECORD_FOUND = 1;
constexpr int RECORD_ABSENT = 0;
constexpr int RECORD_UNUSABLE = -1;  // unreadable, or not a GUID text: logged, never used

// Distinct addresses whose unusable record is logged in one service run; an
// administrator's edit is logged once, not at every request.
constexpr int RECORD_LOGGED_ADDRESSES = 64;
struct LoggedRecords {
    int count;
    BYTE addresses[RECORD_LOGGED_ADDRESSES][6];
};
// Written and read by the pipe thread only; tests clear it.
extern LoggedRecords g_loggedRecords;

// The recorded connection of the adapter with these 6 address bytes, as
// upper-case GUID text into guidText (ADAPTER_NAME_CHARS); empty unless
// RECORD_FOUND.
int ReadDisabledRecord(const BYTE* hardwareAddress, char* guidText);
// Write or remove the adapter's value, creating the key when it is absent.
// A failure is logged and changes nothing else: the switch has happened.
void RecordDisabledAdapter(const BYTE* hardwareAddress, const char* guidText);
void ForgetDisabledAdapter(const BYTE* hardwareAddress);
