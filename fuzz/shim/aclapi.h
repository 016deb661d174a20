/* The shim's <windows.h> declares what the client library takes from <aclapi.h>. */
#ifndef TOBRA_FUZZ_ACLAPI_SHIM_H
#define TOBRA_FUZZ_ACLAPI_SHIM_H

#include "windows.h"

#endif /* TOBRA_FUZZ_ACLAPI_SHIM_H */
