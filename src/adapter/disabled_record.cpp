// The record of disabled adapters: one REG_SZ value per adapter, named by its
// address, holding its connection's GUID text.
// First: the IP Helper types need winsock2.h ahead of windows.h.
#include "adapter/adapter_platform.h"

#include "adapter/adapter_control.h"
#include "adapter/disabled_record.h"
#include "log/log.h"
#include "tobra_wire.h"

#include <string.h>

LoggedRecords g_loggedRecords = {};

namespace {

// A value longer than any GUID text is not one; the room shows that it is longer.
constexpr DWORD RECORD_VALUE_CHARS = TOBRA_GUID_TEXT_LENGTH + 2;

bool IsHexDigit(WCHAR c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

// "{8-4-4-4-12}" hexadecimal digits of either case, copied in upper case, the
// way the connection's GUID text is formatted and compared. Anything else is
// an administrator's edit that must never be taken for a connection's name.
bool ParseGuidText(const WCHAR* text, DWORD chars, char* guidText)
{
    if (chars != TOBRA_GUID_TEXT_LENGTH || text[0] != L'{' || text[TOBRA_GUID_TEXT_LENGTH - 1] != L'}')
        return false;
    for (DWORD i = 1; i + 1 < TOBRA_GUID_TEXT_LENGTH; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != L'-' : !IsHexDigit(text[i]))
            return false;
    }
    for (DWORD i = 0; i < TOBRA_GUID_TEXT_LENGTH; ++i) {
        WCHAR c = text[i];
        guidText[i] = static_cast<char>(c >= L'a' && c <= L'f' ? c - L'a' + L'A' : c);
    }
    guidText[TOBRA_GUID_TEXT_LENGTH] = '\0';
    return true;
}

// Whether this run has logged the address's unusable record; remembers it.
bool AlreadyLogged(const BYTE* hardwareAddress)
{
    for (int i = 0; i < g_loggedRecords.count; ++i) {
        if (memcmp(g_loggedRecords.addresses[i], hardwareAddress, HARDWARE_ADDRESS_LENGTH) == 0)
            return true;
    }
    // Past the bound, a further address stays unlogged rather than flooding the log.
    if (g_loggedRecords.count == RECORD_LOGGED_ADDRESSES)
        return true;
    memcpy(g_loggedRecords.addresses[g_loggedRecords.count++], hardwareAddress, HARDWARE_ADDRESS_LENGTH);
    return false;
}

}  // namespace

int ReadDisabledRecord(const BYTE* hardwareAddress, char* guidText)
{
    WCHAR address[TOBRA_ADDRESS_TEXT_CHARS];
    WCHAR value[RECORD_VALUE_CHARS];
    DWORD type = 0;
    DWORD bytes = sizeof(value);
    HKEY key = nullptr;

    guidText[0] = '\0';
    TobraFormatHardwareAddress(hardwareAddress, address);
    LSTATUS status = g_adapterPlatform.RegOpenKeyExW(g_adapterPlatform.recordRoot, g_adapterPlatform.recordKey, 0,
                                                     KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (status == ERROR_SUCCESS) {
        status = g_adapterPlatform.RegQueryValueExW(key, address, nullptr, &type, reinterpret_cast<BYTE*>(value),
                                                    &bytes);
        RegCloseKey(key);
    }
    if (status == ERROR_FILE_NOT_FOUND)
        return RECORD_ABSENT;
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
        LogPrintf(L"Could not read the record of adapter %s (error %lu)", address, static_cast<unsigned long>(status));
        return RECORD_UNUSABLE;
    }

    // The terminator is the writer's to include or not.
    DWORD chars = bytes / sizeof(WCHAR);
    if (status == ERROR_SUCCESS && chars > 0 && value[chars - 1] == L'\0')
        --chars;
    if (status != ERROR_SUCCESS || type != REG_SZ || !ParseGuidText(value, chars, guidText)) {
        guidText[0] = '\0';
        if (!AlreadyLogged(hardwareAddress))
            LogPrintf(L"Record of adapter %s is not a connection's GUID; it is ignored", address);
        return RECORD_UNUSABLE;
    }
    return RECORD_FOUND;
}

void RecordDisabledAdapter(const BYTE* hardwareAddress, const char* guidText)
{
    WCHAR address[TOBRA_ADDRESS_TEXT_CHARS];
    WCHAR value[ADAPTER_NAME_CHARS];
    HKEY key = nullptr;

    TobraFormatHardwareAddress(hardwareAddress, address);
    int chars = MultiByteToWideChar(CP_ACP, 0, guidText, -1, value, ADAPTER_NAME_CHARS);
    // No security descriptor: the key inherits HKLM\Software's, under which
    // administrators and SYSTEM write and users read.
    LSTATUS status = g_adapterPlatform.RegCreateKeyExW(g_adapterPlatform.recordRoot, g_adapterPlatform.recordKey, 0,
                                                       nullptr, REG_OPTION_NON_VOLATILE,
                                                       KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = g_adapterPlatform.RegSetValueExW(key, address, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                                  static_cast<DWORD>(chars) * sizeof(WCHAR));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        LogPrintf(L"Could not record adapter %s as disabled (error %lu)", address, static_cast<unsigned long>(status));
}

void ForgetDisabledAdapter(const BYTE* hardwareAddress)
{
    WCHAR address[TOBRA_ADDRESS_TEXT_CHARS];
    HKEY key = nullptr;

    TobraFormatHardwareAddress(hardwareAddress, address);
    LSTATUS status = g_adapterPlatform.RegOpenKeyExW(g_adapterPlatform.recordRoot, g_adapterPlatform.recordKey, 0,
                                                     KEY_SET_VALUE | KEY_WOW64_64KEY, &key);
    if (status == ERROR_SUCCESS) {
        status = g_adapterPlatform.RegDeleteValueW(key, address);
        RegCloseKey(key);
    }
    // No key or no value: the record never held it.
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        LogPrintf(L"Could not remove adapter %s from the record (error %lu)", address,
                  static_cast<unsigned long>(status));
}
