/* The administrators' settings as the service reads them and the installer
 * writes them: where they live, their names and limits, and the parsers of
 * their raw data, which take no registry or installer handle so that the
 * service, the installer's actions and the fuzzers run the same code. Plain C
 * with the Windows headers. */
#ifndef TOBRA_POLICY_TEXT_H
#define TOBRA_POLICY_TEXT_H

#include <windows.h>

#include "tobra_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The keys under HKEY_LOCAL_MACHINE: Group Policy's wins value by value over
 * the installer's. */
#define TOBRA_POLICY_GROUP_POLICY_KEY L"Software\\Policies\\norva\\Tobra Service"
#define TOBRA_POLICY_SETTINGS_KEY L"Software\\norva\\Tobra Service"
#define TOBRA_POLICY_ALLOWED_ADAPTERS L"AllowedAdapters" /* REG_MULTI_SZ of hardware addresses */
#define TOBRA_POLICY_ALLOWED_CLIENTS L"AllowedClients"   /* REG_SZ of one SID "S-1-...", or REG_MULTI_SZ of SIDs */
/* The most addresses AllowedAdapters may hold; a longer list is invalid. */
#define TOBRA_POLICY_MAX_ADAPTERS 256
/* Room for the longest valid list as text: every address with blanks around it. */
#define TOBRA_POLICY_ADAPTER_LIST_CHARS (TOBRA_POLICY_MAX_ADAPTERS * 40)
/* The longest list as the installer writes it: each address in its 17
 * characters and a terminator, then the list's terminator. */
#define TOBRA_POLICY_ADAPTER_MULTI_SZ_CHARS (TOBRA_POLICY_MAX_ADAPTERS * TOBRA_ADDRESS_TEXT_CHARS + 1)
/* The longest SID text: "S-1-" and 15 sub-authorities of up to 10 digits. */
#define TOBRA_POLICY_SID_CHARS 200
/* The most SIDs AllowedClients may hold: each is an entry of the pipe's
 * access list, which a reviewer must still be able to read. */
#define TOBRA_POLICY_MAX_CLIENTS 32
/* Room for the longest valid list as text: every SID with blanks around it. */
#define TOBRA_POLICY_CLIENT_LIST_CHARS (TOBRA_POLICY_MAX_CLIENTS * (TOBRA_POLICY_SID_CHARS + 40))
/* The SIDs as a parser hands them over: each trimmed and terminated, then the
 * list's terminator. */
#define TOBRA_POLICY_CLIENT_MULTI_SZ_CHARS (TOBRA_POLICY_MAX_CLIENTS * TOBRA_POLICY_SID_CHARS + 1)

/* text without its leading and trailing blanks (spaces, tabs) into out, which
 * holds chars characters with the terminator; 0 when it does not fit. */
int TobraTrimBlanks(const WCHAR* text, WCHAR* out, int chars);

/* 1 for "S-1-<digits>(-<digits>)+" that the system also takes for a SID (no
 * aliases such as BU or WD, no sub-authority too many or too large). */
int TobraIsSidText(const WCHAR* text);

/* AllowedAdapters as RegQueryValueExW returned it: its type, its data and the
 * byte count, walked by that count (data without its final terminator reads
 * as if terminated). Fills addresses, which has room for
 * TOBRA_POLICY_MAX_ADAPTERS, and returns their count; 0 when the value holds
 * no entry at all (absent); -1 when it is invalid: not a REG_MULTI_SZ, not
 * whole characters, an empty or blank entry before another, an entry that is
 * not a hardware address, more than TOBRA_POLICY_MAX_ADAPTERS entries. */
int TobraParseAllowedAdapters(DWORD type, const WCHAR* data, DWORD bytes,
                              unsigned char addresses[][TOBRA_HARDWARE_ADDRESS_SIZE]);

/* AllowedClients likewise: a REG_SZ of one SID, or a REG_MULTI_SZ of SIDs
 * walked as AllowedAdapters is. The SIDs, blanks trimmed, into sids (room for
 * TOBRA_POLICY_CLIENT_MULTI_SZ_CHARS), each terminated, then the list's
 * terminator; returns their count. 0 when the value holds no SID (empty or
 * blank, no entries: absent); -1 when it is invalid: another type, not whole
 * characters, text after a REG_SZ's terminator, an empty or blank entry before
 * another, an entry that is not a SID, more than TOBRA_POLICY_MAX_CLIENTS. */
int TobraParseAllowedClients(DWORD type, const WCHAR* data, DWORD bytes, WCHAR* sids);

/* The installer's ALLOWEDADAPTERS: hardware addresses separated by ';',
 * blanks around each, empty entries skipped. When multiString is not NULL,
 * writes the addresses there as the REG_MULTI_SZ AllowedAdapters
 * ("00-11-22-33-44-55", each terminated, then the list's terminator), never
 * past its chars characters. Returns the count; -1 when an entry is not an
 * address, there are more than TOBRA_POLICY_MAX_ADAPTERS, or multiString has
 * no room for them. */
int TobraParseAdapterProperty(const WCHAR* text, WCHAR* multiString, int chars);

/* The installer's ALLOWEDCLIENTS likewise: SIDs separated by ';', blanks
 * around each, empty entries skipped, at most TOBRA_POLICY_MAX_CLIENTS. When
 * multiString is not NULL, writes them there trimmed, each terminated, then
 * the list's terminator, never past its chars characters. Returns the count;
 * -1 when an entry is not a SID, there are too many, or multiString has no
 * room for them. */
int TobraParseClientProperty(const WCHAR* text, WCHAR* multiString, int chars);

#ifdef __cplusplus
}
#endif

#endif
