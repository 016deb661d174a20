/* The machine's adapter list, fetched the one way every program of the project
 * fetches it: into one process-heap buffer, asked for again with the size the
 * call reports while the list grows between calls. */
#ifndef TOBRA_ADAPTER_LIST_H
#define TOBRA_ADAPTER_LIST_H

/* winsock2.h first: iphlpapi.h needs its address types. */
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The platform calls the fetch makes; the service passes its test seam's. */
typedef struct TobraAdapterListCalls {
    ULONG(WINAPI* GetAdaptersAddresses)(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES, PULONG size);
    LPVOID(WINAPI* HeapAlloc)(HANDLE heap, DWORD flags, SIZE_T bytes);
    BOOL(WINAPI* HeapFree)(HANDLE heap, DWORD flags, LPVOID memory);
} TobraAdapterListCalls;

/* The real calls. */
extern const TobraAdapterListCalls TOBRA_ADAPTER_LIST_CALLS;

/* The list with the given GAA_FLAG_* flags: a first buffer of firstSize bytes,
 * at most `attempts` calls and allocations. NULL when it cannot be had, and
 * *error says why: ERROR_NO_DATA (no adapter at all), ERROR_BUFFER_OVERFLOW
 * (it kept growing), ERROR_NOT_ENOUGH_MEMORY, or the call's own error. */
PIP_ADAPTER_ADDRESSES TobraGetAdapterList(const TobraAdapterListCalls* calls, ULONG flags, ULONG firstSize,
                                          int attempts, ULONG* error);
void TobraFreeAdapterList(const TobraAdapterListCalls* calls, PIP_ADAPTER_ADDRESSES list);

/* The first adapter of the list whose hardware address is exactly these 6
 * bytes, or NULL. Reads no more than 6 bytes from address. */
PIP_ADAPTER_ADDRESSES TobraFindAdapter(PIP_ADAPTER_ADDRESSES list, const unsigned char* address);

#ifdef __cplusplus
}
#endif

#endif
