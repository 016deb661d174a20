// The adapter list and the platform calls of adapter control that tests
// replace: the real functions by default; a test swaps an entry and restores it.
// Include it before anything that includes windows.h: the IP Helper types need
// winsock2.h first.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <objbase.h>

// Size of the first buffer offered to GetAdaptersAddresses; most machines'
// lists fit, a larger one is asked for with the size the call reports.
constexpr ULONG ADAPTER_LIST_FIRST_SIZE = 15000;
// Calls (and allocations) for one list: the list can grow between calls.
constexpr int ADAPTER_LIST_ATTEMPTS = 3;

// The manager is an out-of-process server; never download code for it.
constexpr DWORD CONNECTION_MANAGER_CONTEXT = CLSCTX_LOCAL_SERVER | CLSCTX_NO_CODE_DOWNLOAD;
// No connection matched. (HRESULT_FROM_WIN32 is an inline function in the
// Windows SDK, which no constant expression may call.)
constexpr HRESULT NO_CONNECTION_MATCHED = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, ERROR_FILE_NOT_FOUND);
static_assert(NO_CONNECTION_MATCHED == static_cast<HRESULT>(0x80070002UL), "what clients see for no match");
// The one failure that is not logged.
constexpr HRESULT UNLOGGED_FAILURE = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, ERROR_RETRY);
static_assert(UNLOGGED_FAILURE == static_cast<HRESULT>(0x800704D5UL), "the connection manager's retry code");

struct AdapterPlatform {
    decltype(&::GetAdaptersAddresses) GetAdaptersAddresses;
    decltype(&::HeapAlloc) HeapAlloc;
    decltype(&::HeapFree) HeapFree;
    decltype(&::CoInitialize) CoInitialize;
    decltype(&::CoUninitialize) CoUninitialize;
    decltype(&::CoCreateInstance) CoCreateInstance;
    decltype(&::CoTaskMemFree) CoTaskMemFree;
    // The record of disabled adapters: where it lives (HKEY_LOCAL_MACHINE and
    // TOBRA_DISABLED_ADAPTERS_KEY; tests point it at keys of their own) and
    // the calls whose failures a real registry gives only by chance.
    decltype(&::RegCreateKeyExW) RegCreateKeyExW;
    decltype(&::RegOpenKeyExW) RegOpenKeyExW;
    decltype(&::RegQueryValueExW) RegQueryValueExW;
    decltype(&::RegSetValueExW) RegSetValueExW;
    decltype(&::RegDeleteValueW) RegDeleteValueW;
    HKEY recordRoot;
    const WCHAR* recordKey;
};
extern AdapterPlatform g_adapterPlatform;

// The machine's adapters in one process-heap buffer, or null when the list
// cannot be had; the caller frees it with FreeAdapterList.
PIP_ADAPTER_ADDRESSES GetAdapterList();
void FreeAdapterList(PIP_ADAPTER_ADDRESSES list);

// How a lookup by hardware address ended.
constexpr int ADAPTER_FOUND = 1;
constexpr int ADAPTER_NOT_FOUND = 0;
constexpr int ADAPTER_LIST_UNAVAILABLE = -1;

// Copies the name of the first adapter whose hardware address is exactly the
// 6 bytes at hardwareAddress into name (ADAPTER_NAME_CHARS); empty when none
// is found. Reads no more than 6 bytes from hardwareAddress. ADAPTER_*.
int FindAdapterName(const BYTE* hardwareAddress, char* name);

