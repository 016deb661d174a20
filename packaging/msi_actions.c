/* Custom actions of the Tobra Service package. The package carries this DLL in
 * its Binary table; nothing of it is installed.
 *
 * The administrators' settings: ALLOWEDADAPTERS (hardware addresses separated
 * by ';') becomes the REG_MULTI_SZ AllowedAdapters, which the package's own
 * registry table cannot write, and ALLOWEDCLIENTS (SIDs separated by ';') the
 * REG_SZ AllowedClients for one SID, the REG_MULTI_SZ for several. Each is
 * checked before anything is installed, written only when it is set, put back
 * as it was when the install rolls back, kept across upgrades and repairs, and
 * removed with the product.
 *
 * Windows Installer registers the service with the executable's path as the
 * image path, and some implementations (Wine's, for one) leave it unquoted.
 * Under "C:\Program Files\..." an unquoted path lets whoever can write
 * "C:\Program.exe" have it run as LocalSystem, so the package sets the path
 * itself, quoted, right after the service is registered.
 *
 * The package's ServiceInstall cannot say what the service manager does when
 * the service fails (wixl writes no service-configuration tables), so an
 * action sets the recovery actions after the service is registered. */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "image_path.h"
#include "service_recovery.h"
#include "tobra_policy_text.h"
#include "tobra_wire.h"

/* Service names are at most 256 characters; image paths are limited by the
 * registry value only, but a path beyond the long-path limit would not start. */
#define NAME_CAPACITY 257
#define PATH_CAPACITY 32800

/* A line in the installation log (msiexec /l*v): the format may use [1] for
 * the text and [2] for the number. */
static void Report(MSIHANDLE install, const wchar_t* format, const wchar_t* text, DWORD number)
{
    MSIHANDLE record = MsiCreateRecord(2);
    if (record == 0)
        return;
    MsiRecordSetStringW(record, 0, format);
    MsiRecordSetStringW(record, 1, text);
    MsiRecordSetInteger(record, 2, (int)number);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

/* The deferred action's data (its CustomActionData property) on the heap; NULL on failure. */
static wchar_t* ReadActionData(MSIHANDLE install)
{
    wchar_t none[1] = {L'\0'};
    DWORD length = 0;
    wchar_t* data;
    UINT result = MsiGetPropertyW(install, L"CustomActionData", none, &length);
    if (result != ERROR_MORE_DATA && result != ERROR_SUCCESS)
        return NULL;
    ++length;
    data = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, length * sizeof(wchar_t));
    if (data == NULL)
        return NULL;
    if (MsiGetPropertyW(install, L"CustomActionData", data, &length) != ERROR_SUCCESS) {
        HeapFree(GetProcessHeap(), 0, data);
        return NULL;
    }
    return data;
}

/* Sets the image path of the service; the error code, 0 on success. */
static DWORD SetImagePath(const wchar_t* serviceName, const wchar_t* imagePath)
{
    DWORD error = ERROR_SUCCESS;
    SC_HANDLE service;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return GetLastError();
    service = OpenServiceW(manager, serviceName, SERVICE_CHANGE_CONFIG);
    if (service == NULL) {
        error = GetLastError();
    } else {
        if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, imagePath, NULL,
                                  NULL, NULL, NULL, NULL, NULL))
            error = GetLastError();
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return error;
}

/* Deferred, not impersonated. CustomActionData: "service name|executable path|arguments". */
__declspec(dllexport) UINT __stdcall QuoteServiceImagePath(MSIHANDLE install)
{
    UINT result = ERROR_INSTALL_FAILURE;
    wchar_t serviceName[NAME_CAPACITY];
    wchar_t* imagePath = NULL;
    DWORD error;
    wchar_t* data = ReadActionData(install);

    if (data == NULL) {
        Report(install, L"QuoteServiceImagePath: cannot read the action data", L"", 0);
        return ERROR_INSTALL_FAILURE;
    }
    imagePath = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, PATH_CAPACITY * sizeof(wchar_t));
    if (imagePath == NULL) {
        Report(install, L"QuoteServiceImagePath: out of memory", L"", 0);
    } else if (!BuildServiceImagePath(data, serviceName, NAME_CAPACITY, imagePath, PATH_CAPACITY)) {
        Report(install, L"QuoteServiceImagePath: malformed action data \"[1]\"", data, 0);
    } else if ((error = SetImagePath(serviceName, imagePath)) != ERROR_SUCCESS) {
        Report(install, L"QuoteServiceImagePath: cannot set the image path of the service: [1], error [2]", serviceName,
               error);
    } else {
        Report(install, L"QuoteServiceImagePath: image path set to [1]", imagePath, 0);
        result = ERROR_SUCCESS;
    }
    if (imagePath != NULL)
        HeapFree(GetProcessHeap(), 0, imagePath);
    HeapFree(GetProcessHeap(), 0, data);
    return result;
}

/* Deferred, not impersonated, after the service is registered.
 * CustomActionData: the service name. The service runs without recovery
 * actions too, and Wine's service manager refuses the flag (error 124), so a
 * failure is logged and never fails the install. */
__declspec(dllexport) UINT __stdcall SetServiceRecoveryActions(MSIHANDLE install)
{
    DWORD error = ERROR_SUCCESS;
    RecoveryStep step;
    wchar_t* data = ReadActionData(install);

    if (data == NULL) {
        Report(install, L"SetServiceRecoveryActions: cannot read the action data", L"", 0);
        return ERROR_SUCCESS;
    }
    step = SetServiceRecovery(data, &error);
    if (step == RECOVERY_DONE)
        Report(install,
               L"SetServiceRecoveryActions: [1] restarts after 1 s, 10 s and 60 s, then stays stopped, also after a "
               L"stop with an error; the count is reset after a day",
               data, 0);
    else if (step == RECOVERY_SET_FLAG)
        Report(install, L"SetServiceRecoveryActions: the restarts are set; cannot [1], error [2]",
               RecoveryStepText(step), error);
    else
        Report(install, L"SetServiceRecoveryActions: cannot [1], error [2]", RecoveryStepText(step), error);
    HeapFree(GetProcessHeap(), 0, data);
    return ERROR_SUCCESS;
}

/* A property into a buffer of the given capacity; an empty text when it is
 * not set, 0 when it does not fit. */
static int ReadProperty(MSIHANDLE install, const wchar_t* name, wchar_t* value, DWORD capacity)
{
    DWORD length = capacity;
    value[0] = L'\0';
    return MsiGetPropertyW(install, name, value, &length) == ERROR_SUCCESS;
}

/* A value of the settings key, whole, into *data on the heap, with two zero
 * characters more so that text in it is terminated; *bytes its byte count.
 * ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when it is not there, or the error. */
static LSTATUS ReadSettingValue(HKEY key, const wchar_t* name, DWORD* type, BYTE** data, DWORD* bytes)
{
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name, NULL, type, NULL, &size);
    *data = NULL;
    /* Written between the two calls: again with the new size. */
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        if (*data != NULL)
            HeapFree(GetProcessHeap(), 0, *data);
        *data = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 2 * sizeof(wchar_t));
        if (*data == NULL)
            return ERROR_OUTOFMEMORY;
        *bytes = size;
        status = RegQueryValueExW(key, name, NULL, type, *data, bytes);
        if (status == ERROR_SUCCESS)
            return status;
        size = *bytes;
    }
    if (*data != NULL)
        HeapFree(GetProcessHeap(), 0, *data);
    *data = NULL;
    return status;
}

static HKEY OpenSettingsKey(REGSAM access)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TOBRA_POLICY_SETTINGS_KEY, 0, access | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return NULL;
    return key;
}

/* Immediate, before RemoveExistingProducts: the installed AllowedAdapters
 * into SAVEDALLOWEDADAPTERS as "a;b", so that an upgrade or a repair without
 * ALLOWEDADAPTERS keeps it (Wine's registry search does not read a
 * REG_MULTI_SZ). The whole value is kept, an entry the service would refuse
 * too, and a value of another type becomes text that is no list: the check
 * then stops such an upgrade instead of dropping the restriction with the old
 * product. Never fails the install. */
__declspec(dllexport) UINT __stdcall ReadSavedAllowedAdapters(MSIHANDLE install)
{
    HKEY key = OpenSettingsKey(KEY_QUERY_VALUE);
    BYTE* data = NULL;
    wchar_t* list;
    const wchar_t* saved;
    DWORD type = 0;
    DWORD bytes = 0;
    DWORD chars;
    DWORD i;

    if (key == NULL)
        return ERROR_SUCCESS;
    if (ReadSettingValue(key, TOBRA_POLICY_ALLOWED_ADAPTERS, &type, &data, &bytes) == ERROR_SUCCESS) {
        list = (wchar_t*)data;
        /* The terminators between entries become separators; those at the end go. */
        chars = bytes / sizeof(wchar_t);
        while (chars > 0 && list[chars - 1] == L'\0')
            --chars;
        for (i = 0; i < chars; ++i) {
            if (list[i] == L'\0')
                list[i] = L';';
        }
        list[chars] = L'\0';
        saved = type == REG_MULTI_SZ ? list : L"(the installed value is not a REG_MULTI_SZ)";
        MsiSetPropertyW(install, L"SAVEDALLOWEDADAPTERS", saved);
        Report(install, L"ReadSavedAllowedAdapters: [1]", saved, 0);
        HeapFree(GetProcessHeap(), 0, data);
    }
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

/* The characters of a list of SIDs as TobraParseClientProperty writes it,
 * the list's terminator included. */
static DWORD ClientListChars(const wchar_t* sids)
{
    const wchar_t* sid = sids;
    while (*sid != L'\0')
        sid += lstrlenW(sid) + 1;
    return (DWORD)(sid - sids) + 1;
}

/* Immediate, before RemoveExistingProducts: the installed AllowedClients into
 * SAVEDALLOWEDCLIENTS as "a;b", for the same reason (Wine's registry search
 * does not read a REG_MULTI_SZ either). The value is read as the service reads
 * it; one that the service would refuse becomes text that is no list, so that
 * the check stops such an upgrade instead of dropping the restriction or
 * reading more into it than the service did. Never fails the install. */
__declspec(dllexport) UINT __stdcall ReadSavedAllowedClients(MSIHANDLE install)
{
    HKEY key = OpenSettingsKey(KEY_QUERY_VALUE);
    BYTE* data = NULL;
    wchar_t* sids = NULL;
    const wchar_t* saved;
    DWORD type = 0;
    DWORD bytes = 0;
    DWORD chars;
    DWORD i;
    int count;

    if (key == NULL)
        return ERROR_SUCCESS;
    if (ReadSettingValue(key, TOBRA_POLICY_ALLOWED_CLIENTS, &type, &data, &bytes) == ERROR_SUCCESS) {
        sids = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, TOBRA_POLICY_CLIENT_MULTI_SZ_CHARS * sizeof(wchar_t));
        count = sids != NULL ? TobraParseAllowedClients(type, (const wchar_t*)data, bytes, sids) : -1;
        if (count > 0) {
            /* The terminators between SIDs become separators; the last SID's stays. */
            chars = ClientListChars(sids);
            for (i = 0; i + 2 < chars; ++i) {
                if (sids[i] == L'\0')
                    sids[i] = L';';
            }
            saved = sids;
        } else {
            saved = count == 0 ? L"" : L"(the installed AllowedClients is not valid)";
        }
        if (saved[0] != L'\0') {
            MsiSetPropertyW(install, L"SAVEDALLOWEDCLIENTS", saved);
            Report(install, L"ReadSavedAllowedClients: [1]", saved, 0);
        }
        if (sids != NULL)
            HeapFree(GetProcessHeap(), 0, sids);
        HeapFree(GetProcessHeap(), 0, data);
    }
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

/* Immediate, before anything is installed: both settings must be what the
 * service takes, or the install stops (1603). */
__declspec(dllexport) UINT __stdcall CheckPolicySettings(MSIHANDLE install)
{
    UINT result = ERROR_SUCCESS;
    wchar_t* adapters = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, TOBRA_POLICY_ADAPTER_LIST_CHARS * sizeof(wchar_t));
    wchar_t* clients = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, TOBRA_POLICY_CLIENT_LIST_CHARS * sizeof(wchar_t));

    if (adapters == NULL || clients == NULL) {
        result = ERROR_INSTALL_FAILURE;
        goto cleanup;
    }
    if (!ReadProperty(install, L"ALLOWEDADAPTERS", adapters, TOBRA_POLICY_ADAPTER_LIST_CHARS) ||
        TobraParseAdapterProperty(adapters, NULL, 0) < 0) {
        Report(install, L"ALLOWEDADAPTERS is not a list of at most [2] hardware addresses separated by ';': [1]",
               adapters, TOBRA_POLICY_MAX_ADAPTERS);
        result = ERROR_INSTALL_FAILURE;
    }
    if (!ReadProperty(install, L"ALLOWEDCLIENTS", clients, TOBRA_POLICY_CLIENT_LIST_CHARS) ||
        TobraParseClientProperty(clients, NULL, 0) < 0) {
        Report(install, L"ALLOWEDCLIENTS is not a list of at most [2] SIDs such as S-1-5-32-545 separated by ';': [1]",
               clients, TOBRA_POLICY_MAX_CLIENTS);
        result = ERROR_INSTALL_FAILURE;
    }
cleanup:
    if (adapters != NULL)
        HeapFree(GetProcessHeap(), 0, adapters);
    if (clients != NULL)
        HeapFree(GetProcessHeap(), 0, clients);
    return result;
}

/* Deferred, not impersonated. CustomActionData: "adapters|clients", the
 * checked properties; each is written only when it is set. One SID is
 * written as the REG_SZ it always was, several as a REG_MULTI_SZ. */
__declspec(dllexport) UINT __stdcall WritePolicySettings(MSIHANDLE install)
{
    UINT result = ERROR_SUCCESS;
    HKEY key = NULL;
    wchar_t* data = ReadActionData(install);
    wchar_t* clients;
    wchar_t* multiString = NULL;
    wchar_t* sids = NULL;
    int count;
    int sidCount = -1;

    if (data == NULL) {
        Report(install, L"WritePolicySettings: cannot read the action data", L"", 0);
        return ERROR_INSTALL_FAILURE;
    }
    clients = data;
    while (*clients != L'\0' && *clients != L'|')
        ++clients;
    if (*clients == L'|')
        *clients++ = L'\0';
    multiString = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, TOBRA_POLICY_ADAPTER_MULTI_SZ_CHARS * sizeof(wchar_t));
    sids = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, TOBRA_POLICY_CLIENT_MULTI_SZ_CHARS * sizeof(wchar_t));
    count =
        multiString != NULL ? TobraParseAdapterProperty(data, multiString, TOBRA_POLICY_ADAPTER_MULTI_SZ_CHARS) : -1;
    if (sids != NULL)
        sidCount = TobraParseClientProperty(clients, sids, TOBRA_POLICY_CLIENT_MULTI_SZ_CHARS);
    if (count < 0 || sidCount < 0) {
        Report(install, L"WritePolicySettings: malformed action data \"[1]\"", data, 0);
        result = ERROR_INSTALL_FAILURE;
    } else if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TOBRA_POLICY_SETTINGS_KEY, 0, NULL, 0,
                               KEY_SET_VALUE | KEY_WOW64_64KEY, NULL, &key, NULL) != ERROR_SUCCESS) {
        Report(install, L"WritePolicySettings: cannot open the settings key", L"", 0);
        result = ERROR_INSTALL_FAILURE;
    } else {
        if (count > 0 &&
            RegSetValueExW(key, TOBRA_POLICY_ALLOWED_ADAPTERS, 0, REG_MULTI_SZ, (const BYTE*)multiString,
                           (DWORD)((count * TOBRA_ADDRESS_TEXT_CHARS + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
            result = ERROR_INSTALL_FAILURE;
        /* REG_SZ: the SID and its terminator; REG_MULTI_SZ: the whole list. */
        if (sidCount > 0 &&
            RegSetValueExW(key, TOBRA_POLICY_ALLOWED_CLIENTS, 0, sidCount == 1 ? REG_SZ : REG_MULTI_SZ,
                           (const BYTE*)sids,
                           (sidCount == 1 ? (DWORD)lstrlenW(sids) + 1 : ClientListChars(sids)) * sizeof(wchar_t)) !=
                ERROR_SUCCESS)
            result = ERROR_INSTALL_FAILURE;
        if (result != ERROR_SUCCESS)
            Report(install, L"WritePolicySettings: a setting could not be written", L"", 0);
        RegCloseKey(key);
    }
    if (multiString != NULL)
        HeapFree(GetProcessHeap(), 0, multiString);
    if (sids != NULL)
        HeapFree(GetProcessHeap(), 0, sids);
    HeapFree(GetProcessHeap(), 0, data);
    return result;
}

/* The two settings WritePolicySettings writes, in the order the rollback's
 * data holds them. */
static const wchar_t* const POLICY_VALUES[2] = {TOBRA_POLICY_ALLOWED_ADAPTERS, TOBRA_POLICY_ALLOWED_CLIENTS};

static const wchar_t HEX_DIGITS[] = L"0123456789ABCDEF";

static int HexValue(wchar_t c)
{
    const wchar_t* digit;
    for (digit = HEX_DIGITS; *digit != L'\0'; ++digit) {
        if (*digit == c)
            return (int)(digit - HEX_DIGITS);
    }
    return -1;
}

/* The values (NULL: not there) as the rollback's data, into text, which has
 * room for it. */
static void WriteRollbackData(BYTE* const values[2], const DWORD types[2], const DWORD sizes[2], wchar_t* text)
{
    DWORD i;
    int v;
    for (v = 0; v < 2; ++v) {
        if (v > 0)
            *text++ = L'|';
        if (values[v] == NULL) {
            *text++ = L'-';
            continue;
        }
        for (i = 0; i < 8; ++i)
            *text++ = HEX_DIGITS[(types[v] >> (28 - 4 * i)) & 0x0F];
        *text++ = L':';
        for (i = 0; i < sizes[v]; ++i) {
            *text++ = HEX_DIGITS[values[v][i] >> 4];
            *text++ = HEX_DIGITS[values[v][i] & 0x0F];
        }
    }
    *text = L'\0';
}

/* Immediate, while the script is written, so before WritePolicySettings runs
 * and after an older product (with its settings) has been removed: the
 * settings as they are now, into the data of RollbackPolicySettings. For each
 * value "-" when it is not there, else its type and its bytes in hexadecimal,
 * "7:3000..."; '|' between them. Exact, so that the rollback puts back even a
 * value the service would refuse. */
__declspec(dllexport) UINT __stdcall ReadRollbackPolicySettings(MSIHANDLE install)
{
    UINT result = ERROR_INSTALL_FAILURE;
    HKEY key = OpenSettingsKey(KEY_QUERY_VALUE);
    BYTE* values[2] = {NULL, NULL};
    DWORD types[2] = {REG_NONE, REG_NONE};
    DWORD sizes[2] = {0, 0};
    SIZE_T chars = 1;
    wchar_t* text = NULL;
    LSTATUS status = ERROR_SUCCESS;
    int v;

    for (v = 0; v < 2 && status == ERROR_SUCCESS; ++v) {
        if (key != NULL)
            status = ReadSettingValue(key, POLICY_VALUES[v], &types[v], &values[v], &sizes[v]);
        if (status == ERROR_FILE_NOT_FOUND)
            status = ERROR_SUCCESS;
        /* "|", the type's 8 digits and ':', two digits a byte. */
        chars += values[v] != NULL ? 10 + 2 * (SIZE_T)sizes[v] : 2;
    }
    if (status != ERROR_SUCCESS) {
        /* Nothing is written that could not be put back. */
        Report(install, L"ReadRollbackPolicySettings: cannot read the settings, error [2]", L"", status);
    } else if ((text = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, chars * sizeof(wchar_t))) == NULL) {
        Report(install, L"ReadRollbackPolicySettings: out of memory", L"", 0);
    } else {
        WriteRollbackData(values, types, sizes, text);
        if (MsiSetPropertyW(install, L"RollbackPolicySettings", text) == ERROR_SUCCESS)
            result = ERROR_SUCCESS;
        else
            Report(install, L"ReadRollbackPolicySettings: cannot set the rollback's data", L"", 0);
    }
    if (text != NULL)
        HeapFree(GetProcessHeap(), 0, text);
    for (v = 0; v < 2; ++v) {
        if (values[v] != NULL)
            HeapFree(GetProcessHeap(), 0, values[v]);
    }
    if (key != NULL)
        RegCloseKey(key);
    return result;
}

/* One value of the rollback's data at *text: puts it back, or deletes the
 * value when it was not there; *text past it. 0 when the data is malformed
 * (*text then stays) or the registry refuses. */
static int RestoreSettingValue(HKEY key, const wchar_t* name, const wchar_t** text)
{
    const wchar_t* p = *text;
    DWORD type = 0;
    DWORD size = 0;
    DWORD i;
    BYTE* data;
    LSTATUS status;

    if (*p == L'-') {
        *text = p + 1;
        status = RegDeleteValueW(key, name);
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    }
    for (i = 0; i < 8; ++i, ++p) {
        if (HexValue(*p) < 0)
            return 0;
        type = type << 4 | (DWORD)HexValue(*p);
    }
    if (*p++ != L':')
        return 0;
    while (HexValue(p[2 * size]) >= 0 && HexValue(p[2 * size + 1]) >= 0)
        ++size;
    if (p[2 * size] != L'|' && p[2 * size] != L'\0')
        return 0;
    data = (BYTE*)HeapAlloc(GetProcessHeap(), 0, size + 1);
    if (data == NULL)
        return 0;
    for (i = 0; i < size; ++i)
        data[i] = (BYTE)(HexValue(p[2 * i]) << 4 | HexValue(p[2 * i + 1]));
    status = RegSetValueExW(key, name, 0, type, data, size);
    HeapFree(GetProcessHeap(), 0, data);
    *text = p + 2 * size;
    return status == ERROR_SUCCESS;
}

/* Rollback, not impersonated, scheduled before WritePolicySettings: when the
 * install fails after it (or in it), the settings as ReadRollbackPolicySettings
 * found them. A failure here is logged; the rollback goes on. */
__declspec(dllexport) UINT __stdcall RollbackPolicySettings(MSIHANDLE install)
{
    HKEY key = NULL;
    wchar_t* data = ReadActionData(install);
    const wchar_t* text = data;
    int restored = 0;

    if (data != NULL && RegCreateKeyExW(HKEY_LOCAL_MACHINE, TOBRA_POLICY_SETTINGS_KEY, 0, NULL, 0,
                                        KEY_SET_VALUE | KEY_WOW64_64KEY, NULL, &key, NULL) == ERROR_SUCCESS) {
        /* The second is put back also when the first cannot be. */
        restored = RestoreSettingValue(key, POLICY_VALUES[0], &text);
        restored = *text++ == L'|' && RestoreSettingValue(key, POLICY_VALUES[1], &text) && *text == L'\0' && restored;
        RegCloseKey(key);
    }
    if (restored)
        Report(install, L"RollbackPolicySettings: the settings are as they were", L"", 0);
    else
        Report(install, L"RollbackPolicySettings: cannot put the settings back: \"[1]\"", data != NULL ? data : L"", 0);
    if (data != NULL)
        HeapFree(GetProcessHeap(), 0, data);
    return ERROR_SUCCESS;
}

/* Deferred, not impersonated, at removal: the settings go with the product
 * (an upgrade writes them again from the properties it kept). */
__declspec(dllexport) UINT __stdcall RemovePolicySettings(MSIHANDLE install)
{
    HKEY key = OpenSettingsKey(KEY_SET_VALUE);
    (void)install;
    if (key != NULL) {
        RegDeleteValueW(key, TOBRA_POLICY_ALLOWED_ADAPTERS);
        RegDeleteValueW(key, TOBRA_POLICY_ALLOWED_CLIENTS);
        RegCloseKey(key);
    }
    return ERROR_SUCCESS;
}

/* Deferred, not impersonated, at removal but not at an upgrade's: the record
 * of the adapters the service left disabled goes with the product. Windows
 * Installer removes no key that still has a subkey, which would keep the
 * settings key too. The adapters themselves stay as they are. */
__declspec(dllexport) UINT __stdcall RemoveDisabledRecord(MSIHANDLE install)
{
    LSTATUS status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY, KEY_WOW64_64KEY, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        Report(install, L"The record of disabled adapters could not be removed (error [2]).", L"", (DWORD)status);
    return ERROR_SUCCESS;
}
