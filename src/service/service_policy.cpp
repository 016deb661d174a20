// The administrators' policy: read once at start from the registry, then only
// consulted by the pipe thread.
#include "service/service_policy.h"

#include "event/event_log.h"
#include "log/log.h"
#include "service/service_platform.h"
#include "tobra_policy_text.h"
#include "tobra_wire.h"

ServicePolicy g_policy = {};

namespace {

// One value under one key, as RegQueryValueExW gives it: *bytes is the room
// of data on entry and the data's byte count on return. ERROR_FILE_NOT_FOUND
// when the key or the value is not there; ERROR_MORE_DATA when it is longer
// than any valid value.
LSTATUS QueryValue(const WCHAR* path, const WCHAR* name, DWORD* type, WCHAR* data, DWORD* bytes)
{
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(g_servicePlatform.policyRoot, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(data), bytes);
    RegCloseKey(key);
    return status;
}

// One setting from Group Policy's key, else from the installer's: the first
// value that is there and not empty applies, so that an emptied policy cannot
// widen what the installer narrowed. parse(type, bytes) judges the data read
// into data: above 0 set, 0 empty, below 0 invalid, which it is in either key.
template <typename Parse>
bool ReadSetting(const WCHAR* name, WCHAR* data, DWORD room, Parse parse)
{
    const WCHAR* keys[2] = {g_servicePlatform.groupPolicyKey, g_servicePlatform.settingsKey};
    for (const WCHAR* path : keys) {
        DWORD type = 0;
        DWORD bytes = room;
        LSTATUS status = QueryValue(path, name, &type, data, &bytes);
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        if (status != ERROR_SUCCESS)
            return false;
        int found = parse(type, bytes);
        if (found != 0)
            return found > 0;
    }
    return true;
}

bool ReadAllowedAdapters(ServicePolicy* policy)
{
    WCHAR list[TOBRA_POLICY_ADAPTER_LIST_CHARS];
    return ReadSetting(TOBRA_POLICY_ALLOWED_ADAPTERS, list, sizeof(list), [&](DWORD type, DWORD bytes) {
        int count = TobraParseAllowedAdapters(type, list, bytes, policy->adapters);
        policy->adapterCount = count > 0 ? count : 0;
        policy->adaptersRestricted = count > 0;
        return count;
    });
}

bool ReadAllowedClients(ServicePolicy* policy)
{
    WCHAR text[TOBRA_POLICY_CLIENT_LIST_CHARS];
    return ReadSetting(TOBRA_POLICY_ALLOWED_CLIENTS, text, sizeof(text), [&](DWORD type, DWORD bytes) {
        return TobraParseAllowedClients(type, text, bytes, policy->allowedClients);
    });
}

}  // namespace

int ReadServicePolicy()
{
    ZeroMemory(&g_policy, sizeof(g_policy));
    int valid = 1;
    // Both are checked, so that the log names every setting to mend.
    if (!ReadAllowedAdapters(&g_policy)) {
        LogPrintf(L"Setting %s is invalid", TOBRA_POLICY_ALLOWED_ADAPTERS);
        ReportInvalidSettingEvent(TOBRA_POLICY_ALLOWED_ADAPTERS);
        valid = 0;
    }
    if (!ReadAllowedClients(&g_policy)) {
        LogPrintf(L"Setting %s is invalid", TOBRA_POLICY_ALLOWED_CLIENTS);
        ReportInvalidSettingEvent(TOBRA_POLICY_ALLOWED_CLIENTS);
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
