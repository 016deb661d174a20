/* The SID conversion of <sddl.h> for the fuzzers; win32_stubs.c stands in for it. */
#ifndef TOBRA_FUZZ_SDDL_SHIM_H
#define TOBRA_FUZZ_SDDL_SHIM_H

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

BOOL ConvertStringSidToSidW(LPCWSTR text, PSID* sid);

#ifdef __cplusplus
}
#endif

#endif /* TOBRA_FUZZ_SDDL_SHIM_H */
