// The administrators' policy: read once at start from the registry, then only
// consulted by the pipe thread.
#include "service/service_policy.h"

#include "log/log.h"
#include "service/service_platform.h"
#include "tobra_policy_text.h"
#include "tobra_wire.h"

ServicePolicy g_policy = {};

namespace {

// One value from the first of the two keys that holds it: Group Policy's key
// wins value by value, not key by key. The data is terminated by the caller's
// zero-filled buffer, which is two characters longer than *bytes says.
// ERROR_FILE_NOT_FOUND when neither key has the value.
LSTATUS ReadValue(const WCHAR* name, DWORD* type, WCHAR* data, DWORD* bytes)
{
    const WCHAR* keys[2] = {g_servicePlatform.groupPolicyKey, g_servicePlatform.settingsKey};
    for (const WCHAR* path : keys) {
        HKEY key = nullptr;
        LSTATUS status = RegOpenKeyExW(g_servicePlatform.policyRoot, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        if (status != ERROR_SUCCESS)
            return status;
        DWORD size = *bytes;
        status = RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        *bytes = size;
        return status;
    }
    return ERROR_FILE_NOT_FOUND;
}

// A multi-string with no entries counts as absent; every entry must be a
// hardware address, blanks around it allowed.
bool ReadAllowedAdapters(ServicePolicy* policy)
{
    WCHAR list[TOBRA_POLICY_ADAPTER_LIST_CHARS + 2] = {};
    DWORD type = 0;
    DWORD bytes = TOBRA_POLICY_ADAPTER_LIST_CHARS * sizeof(WCHAR);
    LSTATUS status = ReadValue(TOBRA_POLICY_ALLOWED_ADAPTERS, &type, list, &bytes);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return false;
    for (const WCHAR* entry = list; *entry != L'\0'; entry += lstrlenW(entry) + 1) {
        WCHAR address[TOBRA_ADDRESS_TEXT_CHARS];
        if (policy->adapterCount == TOBRA_POLICY_MAX_ADAPTERS ||
            !TobraTrimBlanks(entry, address, TOBRA_ADDRESS_TEXT_CHARS) ||
            !TobraParseHardwareAddress(address, policy->adapters[policy->adapterCount]))
            return false;
        ++policy->adapterCount;
    }
    policy->adaptersRestricted = policy->adapterCount > 0;
    return true;
}

// An empty string counts as absent; anything else must be a SID.
bool ReadAllowedClients(ServicePolicy* policy)
{
    WCHAR text[TOBRA_POLICY_SID_CHARS + 64 + 2] = {};
    DWORD type = 0;
    DWORD bytes = (TOBRA_POLICY_SID_CHARS + 64) * sizeof(WCHAR);
    LSTATUS status = ReadValue(TOBRA_POLICY_ALLOWED_CLIENTS, &type, text, &bytes);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS || type != REG_SZ ||
        !TobraTrimBlanks(text, policy->allowedClient, TOBRA_POLICY_SID_CHARS))
        return false;
    return policy->allowedClient[0] == L'\0' || TobraIsSidText(policy->allowedClient);
}

}  // namespace

int ReadServicePolicy()
{
    ZeroMemory(&g_policy, sizeof(g_policy));
    int valid = 1;
    // Both are checked, so that the log names every setting to mend.
    if (!ReadAllowedAdapters(&g_policy)) {
        LogPrintf(L"Setting %s is invalid", TOBRA_POLICY_ALLOWED_ADAPTERS);
        valid = 0;
    }
    if (!ReadAllowedClients(&g_policy)) {
        LogPrintf(L"Setting %s is invalid", TOBRA_POLICY_ALLOWED_CLIENTS);
        valid = 0;
    }
    return valid;
}

int IsAdapterAllowed(const BYTE* hardwareAddress)
{
    if (!g_policy.adaptersRestricted)
        return 1;
    for (int i = 0; i < g_policy.adapterCount; ++i) {
        if (memcmp(g_policy.adapters[i], hardwareAddress, sizeof(g_policy.adapters[i])) == 0)
            return 1;
    }
    return 0;
}
