/* The administrators' settings as the service reads them and the installer
 * writes them: where they live, their names and limits, and the checks of
 * their text. Plain C with the Windows headers. */
#ifndef TOBRA_POLICY_TEXT_H
#define TOBRA_POLICY_TEXT_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The keys under HKEY_LOCAL_MACHINE: Group Policy's wins value by value over
 * the installer's. */
#define TOBRA_POLICY_GROUP_POLICY_KEY L"Software\\Policies\\norva\\Tobra Service"
#define TOBRA_POLICY_SETTINGS_KEY L"Software\\norva\\Tobra Service"
#define TOBRA_POLICY_ALLOWED_ADAPTERS L"AllowedAdapters" /* REG_MULTI_SZ of hardware addresses */
#define TOBRA_POLICY_ALLOWED_CLIENTS L"AllowedClients"   /* REG_SZ: one SID, "S-1-..." */
/* The most addresses AllowedAdapters may hold; a longer list is invalid. */
#define TOBRA_POLICY_MAX_ADAPTERS 256
/* Room for the longest valid list as text: every address with blanks around it. */
#define TOBRA_POLICY_ADAPTER_LIST_CHARS (TOBRA_POLICY_MAX_ADAPTERS * 40)
/* The longest SID text: "S-1-" and 15 sub-authorities of up to 10 digits. */
#define TOBRA_POLICY_SID_CHARS 200

/* text without its leading and trailing blanks (spaces, tabs) into out, which
 * holds chars characters with the terminator; 0 when it does not fit. */
int TobraTrimBlanks(const WCHAR* text, WCHAR* out, int chars);

/* 1 for "S-1-<digits>(-<digits>)+" that the system also takes for a SID (no
 * aliases such as BU or WD, no sub-authority too many or too large). */
int TobraIsSidText(const WCHAR* text);

#ifdef __cplusplus
}
#endif

#endif
