/* The text forms of the administrators' settings, checked alike by the
 * service when it reads them and by the installer before it writes them.
 * Plain C with the Windows headers. */
#ifndef TOBRA_SERVICE_POLICY_TEXT_H
#define TOBRA_SERVICE_POLICY_TEXT_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

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
