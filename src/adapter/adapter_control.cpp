// Adapter control: the adapter list, the lookup by hardware address, and the
// switch of a network connection through the Network Connections manager.
// First: the IP Helper types need winsock2.h ahead of windows.h.
#include "adapter/adapter_platform.h"

#include "adapter/adapter_control.h"
#include "adapter/disabled_record.h"
#include "log/log.h"
#include "tobra_adapter_list.h"

#include <netcon.h>
#include <stdio.h>
#include <string.h>

AdapterPlatform g_adapterPlatform = {
    ::GetAdaptersAddresses, ::HeapAlloc,        ::HeapFree,        ::CoInitialize,
    ::CoUninitialize,       ::CoCreateInstance, ::CoTaskMemFree,   ::RegCreateKeyExW,
    ::RegOpenKeyExW,        ::RegQueryValueExW, ::RegSetValueExW,  ::RegDeleteValueW,
    HKEY_LOCAL_MACHINE,     TOBRA_DISABLED_ADAPTERS_KEY,
};

namespace {

const char GUID_TEXT_FORMAT[] = "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}";

void FormatGuidText(const GUID& guid, char* text, size_t size)
{
    snprintf(text, size, GUID_TEXT_FORMAT, static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3,
             guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
             guid.Data4[7]);
}

// The record and both strings come from the manager's task allocator.
void FreeConnectionProperties(NETCON_PROPERTIES* properties)
{
    g_adapterPlatform.CoTaskMemFree(properties->pszwName);
    g_adapterPlatform.CoTaskMemFree(properties->pszwDeviceName);
    g_adapterPlatform.CoTaskMemFree(properties);
}

// One enumeration over all connections, switching each whose GUID text is the
// adapter name. A match does not end it (two connections may share a GUID);
// a failure of Next or GetProperties does, and its code replaces any earlier one.
HRESULT SwitchMatchingConnections(IEnumNetConnection* connections, const char* adapterName, int enable, int* matched)
{
    HRESULT result = NO_CONNECTION_MATCHED;
    for (;;) {
        INetConnection* connection = nullptr;
        ULONG fetched = 0;
        HRESULT next = connections->Next(1, &connection, &fetched);
        if (FAILED(next) || fetched != 1 || connection == nullptr) {
            // Whatever an ending call still handed back is ours to release.
            if (connection != nullptr)
                connection->Release();
            if (FAILED(next))
                result = next;
            break;
        }

        NETCON_PROPERTIES* properties = nullptr;
        HRESULT got = connection->GetProperties(&properties);
        // Another success code (S_FALSE) promises no usable record.
        if (got == S_OK && properties != nullptr) {
            char guidText[ADAPTER_NAME_CHARS];
            FormatGuidText(properties->guidId, guidText, sizeof(guidText));
            if (strcmp(adapterName, guidText) == 0) {
                *matched = 1;
                const WCHAR* name = properties->pszwName != nullptr ? properties->pszwName : L"";
                if (enable) {
                    LogPrintf(L"      Enabling adapter: %s...", name);
                    result = connection->Connect();
                } else {
                    LogPrintf(L"      Disabling adapter: %s...", name);
                    result = connection->Disconnect();
                }
            }
        }
        if (properties != nullptr)
            FreeConnectionProperties(properties);
        connection->Release();

        if (FAILED(got)) {
            result = got;
            break;
        }
    }
    return result;
}

// One pass as SetConnectionState makes it, without its failure line.
HRESULT RunStatePass(const char* adapterName, int enable, int* matched)
{
    *matched = 0;
    if (adapterName == nullptr)
        adapterName = "";

    // A failure here (COM already entered in another mode) does not stop the
    // pass: the manager may still be created. Only a successful call is undone,
    // or another user's initialisation of this thread would be torn down.
    HRESULT initialized = g_adapterPlatform.CoInitialize(nullptr);

    INetConnectionManager* manager = nullptr;
    HRESULT result = g_adapterPlatform.CoCreateInstance(CLSID_ConnectionManager, nullptr, CONNECTION_MANAGER_CONTEXT,
                                                        IID_INetConnectionManager, reinterpret_cast<void**>(&manager));
    if (SUCCEEDED(result)) {
        result = NO_CONNECTION_MATCHED;
        if (manager != nullptr) {
            IEnumNetConnection* connections = nullptr;
            HRESULT enumerated = manager->EnumConnections(NCME_DEFAULT, &connections);
            if (FAILED(enumerated))
                result = enumerated;
            else if (connections != nullptr)
                result = SwitchMatchingConnections(connections, adapterName, enable, matched);
            if (connections != nullptr)
                connections->Release();
            manager->Release();
        }
    }

    if (SUCCEEDED(initialized))
        g_adapterPlatform.CoUninitialize();
    return result;
}

void LogStateFailure(HRESULT result)
{
    if (FAILED(result) && result != UNLOGGED_FAILURE)
        LogPrintf(L"Could not enable or disable connection (0x%08x)", static_cast<unsigned int>(result));
}

}  // namespace

HRESULT SetConnectionState(const char* adapterName, int enable, int* matched)
{
    int matchedHere = 0;
    HRESULT result = RunStatePass(adapterName, enable, &matchedHere);
    LogStateFailure(result);
    if (matched != nullptr)
        *matched = matchedHere;
    return result;
}

namespace {

// The shared list routine, through this subsystem's seam.
TobraAdapterListCalls AdapterListCalls()
{
    return {g_adapterPlatform.GetAdaptersAddresses, g_adapterPlatform.HeapAlloc, g_adapterPlatform.HeapFree};
}

}  // namespace

PIP_ADAPTER_ADDRESSES GetAdapterList()
{
    const TobraAdapterListCalls calls = AdapterListCalls();
    ULONG error = 0;
    return TobraGetAdapterList(&calls, GAA_FLAG_INCLUDE_PREFIX, ADAPTER_LIST_FIRST_SIZE, ADAPTER_LIST_ATTEMPTS, &error);
}

void FreeAdapterList(PIP_ADAPTER_ADDRESSES list)
{
    const TobraAdapterListCalls calls = AdapterListCalls();
    TobraFreeAdapterList(&calls, list);
}

int FindAdapterName(const BYTE* hardwareAddress, char* name)
{
    ZeroMemory(name, ADAPTER_NAME_CHARS);
    if (hardwareAddress == nullptr)
        return ADAPTER_NOT_FOUND;

    PIP_ADAPTER_ADDRESSES list = GetAdapterList();
    if (list == nullptr)
        return ADAPTER_LIST_UNAVAILABLE;
    PIP_ADAPTER_ADDRESSES adapter = TobraFindAdapter(list, hardwareAddress);
    if (adapter != nullptr && adapter->AdapterName != nullptr)
        lstrcpynA(name, adapter->AdapterName, ADAPTER_NAME_CHARS);
    FreeAdapterList(list);
    return adapter != nullptr ? ADAPTER_FOUND : ADAPTER_NOT_FOUND;
}

namespace {

// A pass that matched nothing fails with NO_CONNECTION_MATCHED, so the codes
// alone cannot tell a missing adapter from a failed switch: the lookup does.
void SetOutcome(AdapterOutcome* outcome, int lookup, const char* name, HRESULT offResult, HRESULT onResult)
{
    if (outcome == nullptr)
        return;
    lstrcpynA(outcome->adapterName, name, ADAPTER_NAME_CHARS);
    outcome->offResult = offResult;
    outcome->onResult = onResult;
    if (lookup == ADAPTER_LIST_UNAVAILABLE)
        outcome->outcome = OUTCOME_LIST_UNAVAILABLE;
    else if (lookup == ADAPTER_NOT_FOUND)
        outcome->outcome = OUTCOME_NO_ADAPTER;
    else
        outcome->outcome = SUCCEEDED(offResult) && SUCCEEDED(onResult) ? OUTCOME_SWITCHED : OUTCOME_FAILED;
}

}  // namespace

int RestartAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome)
{
    char name[ADAPTER_NAME_CHARS];
    int lookup = FindAdapterName(hardwareAddress, name);
    // The enable pass runs whatever the disable pass returned: a connection
    // left switched off is worse than a second failure in the log.
    int offMatched = 0;
    int onMatched = 0;
    HRESULT offResult = SetConnectionState(name, 0, &offMatched);
    HRESULT onResult = SetConnectionState(name, 1, &onMatched);
    // Before the reply: a connection the on pass could not switch back is left off.
    if (lookup == ADAPTER_FOUND && (offMatched || onMatched)) {
        if (FAILED(onResult))
            RecordDisabledAdapter(hardwareAddress, name);
        else
            ForgetDisabledAdapter(hardwareAddress);
    }
    SetOutcome(outcome, lookup, name, offResult, onResult);
    return 1;
}

int DisableAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome)
{
    char name[ADAPTER_NAME_CHARS];
    int lookup = FindAdapterName(hardwareAddress, name);
    int matched = 0;
    HRESULT offResult = SetConnectionState(name, 0, &matched);
    if (lookup == ADAPTER_FOUND && matched && SUCCEEDED(offResult))
        RecordDisabledAdapter(hardwareAddress, name);
    SetOutcome(outcome, lookup, name, offResult, S_OK);
    return 1;
}

int EnableAdapter(const BYTE* hardwareAddress, AdapterOutcome* outcome)
{
    char name[ADAPTER_NAME_CHARS] = "";
    int lookup = ADAPTER_NOT_FOUND;
    int matched = 0;
    HRESULT onResult = NO_CONNECTION_MATCHED;

    if (hardwareAddress != nullptr && ReadDisabledRecord(hardwareAddress, name) == RECORD_FOUND) {
        onResult = RunStatePass(name, 1, &matched);
        if (matched || onResult != NO_CONNECTION_MATCHED) {
            // Switched, or the manager could not be asked: the list would
            // not be asked any better, and the record stays.
            lookup = ADAPTER_FOUND;
            LogStateFailure(onResult);
        } else {
            // The manager lists no such connection now (the adapter was
            // reinstalled, say): the list may know better.
            WCHAR recorded[ADAPTER_NAME_CHARS];
            MultiByteToWideChar(CP_ACP, 0, name, -1, recorded, ADAPTER_NAME_CHARS);
            LogPrintf(L"      Recorded connection %s is not listed; looking the adapter up", recorded);
        }
    }
    if (lookup != ADAPTER_FOUND) {
        lookup = FindAdapterName(hardwareAddress, name);
        onResult = SetConnectionState(name, 1, &matched);
    }
    if (lookup == ADAPTER_FOUND && matched && SUCCEEDED(onResult))
        ForgetDisabledAdapter(hardwareAddress);
    SetOutcome(outcome, lookup, name, 0, onResult);
    return 1;
}
