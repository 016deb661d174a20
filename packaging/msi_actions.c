/* Custom actions of the Tobra Service package. The package carries this DLL in
 * its Binary table; nothing of it is installed.
 *
 * The administrators' settings: ALLOWEDADAPTERS (hardware addresses separated
 * by ';') becomes the REG_MULTI_SZ AllowedAdapters, which the package's own
 * registry table cannot write, and ALLOWEDCLIENTS (a SID) the REG_SZ
 * AllowedClients. Each is checked before anything is installed, written only
 * when it is set, kept across upgrades and repairs, and removed with the
 * product.
 *
 * Windows Installer registers the service with the executable's path as the
 * image path, and some implementations (Wine's, for one) leave it unquoted.
 * Under "C:\Program Files\..." an unquoted path lets whoever can write
 * "C:\Program.exe" have it run as LocalSystem, so the package sets the path
 * itself, quoted, right after the service is registered. */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "image_path.h"
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
        Report(install, L"QuoteServiceImagePath: cannot set the image path of the service: [1], error [2]",
               serviceName, error);
    } else {
        Report(install, L"QuoteServiceImagePath: image path set to [1]", imagePath, 0);
        result = ERROR_SUCCESS;
    }
    if (imagePath != NULL)
        HeapFree(GetProcessHeap(), 0, imagePath);
    HeapFree(GetProcessHeap(), 0, data);
    return result;
}


/* A property into a buffer of the given capacity; an empty text when it is
 * not set, 0 when it does not fit. */
static int ReadProperty(MSIHANDLE install, const wchar_t* name, wchar_t* value, DWORD capacity)
{
    DWORD length = capacity;
    value[0] = L'\0';
    return MsiGetPropertyW(install, name, value, &length) == ERROR_SUCCESS;
}

/* Walks the ';'-separated list: each entry, blanks trimmed, must be a hardware
 * address; empty entries are skipped. With multiString, writes the addresses
 * as the service writes them, each terminated, plus one more terminator, and
 * returns their count; -1 when an entry is not an address. */
static int ParseAddressList(const wchar_t* list, wchar_t* multiString)
{
    int count = 0;
    while (*list != L'\0') {
        wchar_t entry[64];
        wchar_t trimmed[TOBRA_ADDRESS_TEXT_CHARS];
        unsigned char address[TOBRA_HARDWARE_ADDRESS_SIZE];
        int length = 0;
        while (list[length] != L'\0' && list[length] != L';')
            ++length;
        if (length >= 64)
            return -1;
        CopyMemory(entry, list, length * sizeof(wchar_t));
        entry[length] = L'\0';
        list += list[length] == L';' ? length + 1 : length;
        if (!TobraTrimBlanks(entry, trimmed, TOBRA_ADDRESS_TEXT_CHARS))
            return -1;
        if (trimmed[0] == L'\0')
            continue;
        if (!TobraParseHardwareAddress(trimmed, address))
            return -1;
        if (multiString != NULL) {
            TobraFormatHardwareAddress(address, multiString);
            multiString += TOBRA_ADDRESS_TEXT_CHARS;
        }
        ++count;
    }
    if (multiString != NULL)
        *multiString = L'\0';
    return count;
}

/* Immediate, before RemoveExistingProducts: the installed AllowedAdapters
 * into SAVEDALLOWEDADAPTERS as "a;b", so that an upgrade or a repair without
 * ALLOWEDADAPTERS keeps it (Wine's registry search does not read a
 * REG_MULTI_SZ). Never fails the install. */
__declspec(dllexport) UINT __stdcall ReadSavedAllowedAdapters(MSIHANDLE install)
{
    HKEY key = NULL;
    wchar_t* list;
    DWORD type = 0;
    DWORD bytes = TOBRA_POLICY_ADAPTER_LIST_CHARS * sizeof(wchar_t);
    DWORD i;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TOBRA_POLICY_SETTINGS_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    list = (wchar_t*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (TOBRA_POLICY_ADAPTER_LIST_CHARS + 2) * sizeof(wchar_t));
    if (list != NULL && RegQueryValueExW(key, TOBRA_POLICY_ALLOWED_ADAPTERS, NULL, &type, (BYTE*)list, &bytes) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        /* The terminators between entries become separators. */
        for (i = 0; i + 1 < bytes / sizeof(wchar_t) && !(list[i] == L'\0' && list[i + 1] == L'\0'); ++i) {
            if (list[i] == L'\0')
                list[i] = L';';
        }
        MsiSetPropertyW(install, L"SAVEDALLOWEDADAPTERS", list);
        Report(install, L"ReadSavedAllowedAdapters: [1]", list, 0);
    }
    if (list != NULL)
        HeapFree(GetProcessHeap(), 0, list);
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

/* Immediate, before anything is installed: both settings must be what the
 * service takes, or the install stops (1603). */
__declspec(dllexport) UINT __stdcall CheckPolicySettings(MSIHANDLE install)
{
    UINT result = ERROR_SUCCESS;
    wchar_t sid[TOBRA_POLICY_SID_CHARS];
    wchar_t trimmed[TOBRA_POLICY_SID_CHARS];
    wchar_t* adapters = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, TOBRA_POLICY_ADAPTER_LIST_CHARS * sizeof(wchar_t));

    if (adapters == NULL)
        return ERROR_INSTALL_FAILURE;
    if (!ReadProperty(install, L"ALLOWEDADAPTERS", adapters, TOBRA_POLICY_ADAPTER_LIST_CHARS) ||
        ParseAddressList(adapters, NULL) < 0) {
        Report(install, L"ALLOWEDADAPTERS is not a list of hardware addresses separated by ';': [1]", adapters, 0);
        result = ERROR_INSTALL_FAILURE;
    }
    if (!ReadProperty(install, L"ALLOWEDCLIENTS", sid, TOBRA_POLICY_SID_CHARS) ||
        !TobraTrimBlanks(sid, trimmed, TOBRA_POLICY_SID_CHARS) || (trimmed[0] != L'\0' && !TobraIsSidText(trimmed))) {
        Report(install, L"ALLOWEDCLIENTS is not a SID such as S-1-5-32-545: [1]", sid, 0);
        result = ERROR_INSTALL_FAILURE;
    }
    HeapFree(GetProcessHeap(), 0, adapters);
    return result;
}

/* Deferred, not impersonated. CustomActionData: "adapters|clients", the
 * checked properties; each is written only when it is set. */
__declspec(dllexport) UINT __stdcall WritePolicySettings(MSIHANDLE install)
{
    UINT result = ERROR_SUCCESS;
    HKEY key = NULL;
    wchar_t* data = ReadActionData(install);
    wchar_t* clients;
    wchar_t sid[TOBRA_POLICY_SID_CHARS];
    wchar_t* multiString = NULL;
    int count;

    if (data == NULL) {
        Report(install, L"WritePolicySettings: cannot read the action data", L"", 0);
        return ERROR_INSTALL_FAILURE;
    }
    clients = data;
    while (*clients != L'\0' && *clients != L'|')
        ++clients;
    if (*clients == L'|')
        *clients++ = L'\0';
    multiString = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, (TOBRA_POLICY_ADAPTER_LIST_CHARS + 2) * sizeof(wchar_t));
    count = multiString != NULL ? ParseAddressList(data, multiString) : -1;
    if (count < 0 || !TobraTrimBlanks(clients, sid, TOBRA_POLICY_SID_CHARS)) {
        Report(install, L"WritePolicySettings: malformed action data \"[1]\"", data, 0);
        result = ERROR_INSTALL_FAILURE;
    } else if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TOBRA_POLICY_SETTINGS_KEY, 0, NULL, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, NULL,
                               &key, NULL) != ERROR_SUCCESS) {
        Report(install, L"WritePolicySettings: cannot open the settings key", L"", 0);
        result = ERROR_INSTALL_FAILURE;
    } else {
        if (count > 0 && RegSetValueExW(key, TOBRA_POLICY_ALLOWED_ADAPTERS, 0, REG_MULTI_SZ, (const BYTE*)multiString,
                                        (DWORD)((count * TOBRA_ADDRESS_TEXT_CHARS + 1) * sizeof(wchar_t))) !=
                             ERROR_SUCCESS)
            result = ERROR_INSTALL_FAILURE;
        if (sid[0] != L'\0' && RegSetValueExW(key, TOBRA_POLICY_ALLOWED_CLIENTS, 0, REG_SZ, (const BYTE*)sid,
                                                (DWORD)((lstrlenW(sid) + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
            result = ERROR_INSTALL_FAILURE;
        if (result != ERROR_SUCCESS)
            Report(install, L"WritePolicySettings: a setting could not be written", L"", 0);
        RegCloseKey(key);
    }
    if (multiString != NULL)
        HeapFree(GetProcessHeap(), 0, multiString);
    HeapFree(GetProcessHeap(), 0, data);
    return result;
}

/* Deferred, not impersonated, at removal: the settings go with the product
 * (an upgrade writes them again from the properties it kept). */
__declspec(dllexport) UINT __stdcall RemovePolicySettings(MSIHANDLE install)
{
    HKEY key = NULL;
    (void)install;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TOBRA_POLICY_SETTINGS_KEY, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, TOBRA_POLICY_ALLOWED_ADAPTERS);
        RegDeleteValueW(key, TOBRA_POLICY_ALLOWED_CLIENTS);
        RegCloseKey(key);
    }
    return ERROR_SUCCESS;
}
