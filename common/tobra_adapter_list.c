/* The machine's adapter list. */
#include "tobra_adapter_list.h"

#include <string.h>

const TobraAdapterListCalls TOBRA_ADAPTER_LIST_CALLS = {GetAdaptersAddresses, HeapAlloc, HeapFree};

PIP_ADAPTER_ADDRESSES TobraGetAdapterList(const TobraAdapterListCalls* calls, ULONG flags, ULONG firstSize,
                                          int attempts, ULONG* error)
{
    HANDLE heap = GetProcessHeap();
    ULONG size = firstSize;
    int attempt;

    *error = ERROR_BUFFER_OVERFLOW;
    for (attempt = 0; attempt < attempts; ++attempt) {
        /* A size the heap cannot give is just another list we cannot have. */
        PIP_ADAPTER_ADDRESSES list = (PIP_ADAPTER_ADDRESSES)calls->HeapAlloc(heap, 0, size);
        if (list == NULL) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return NULL;
        }
        *error = calls->GetAdaptersAddresses(AF_UNSPEC, flags, NULL, list, &size);
        if (*error == NO_ERROR)
            return list;
        calls->HeapFree(heap, 0, list);
        if (*error != ERROR_BUFFER_OVERFLOW)
            return NULL;
    }
    return NULL;
}

void TobraFreeAdapterList(const TobraAdapterListCalls* calls, PIP_ADAPTER_ADDRESSES list)
{
    if (list != NULL)
        calls->HeapFree(GetProcessHeap(), 0, list);
}

PIP_ADAPTER_ADDRESSES TobraFindAdapter(PIP_ADAPTER_ADDRESSES list, const unsigned char* address)
{
    /* Only an address of exactly 6 bytes can be the one named: a shorter one
     * would match every address it begins, a longer one would be compared
     * with the bytes that follow the address in a request. */
    for (; list != NULL; list = list->Next) {
        if (list->PhysicalAddressLength == 6 && memcmp(list->PhysicalAddress, address, 6) == 0)
            return list;
    }
    return NULL;
}
