/* The text forms of the administrators' settings. Registry data is walked by
 * its byte count, never by its terminators alone: a value may hold text after
 * an empty entry, and need not end with a terminator at all. */
#include "tobra_policy_text.h"

#include <sddl.h>

static int IsBlank(WCHAR c)
{
    return c == L' ' || c == L'\t';
}

/* text[0, length) without the blanks around it, terminated, into out. */
static int TrimInto(const WCHAR* text, int length, WCHAR* out, int chars)
{
    while (length > 0 && IsBlank(*text)) {
        ++text;
        --length;
    }
    while (length > 0 && IsBlank(text[length - 1]))
        --length;
    if (length >= chars)
        return 0;
    if (length > 0)
        CopyMemory(out, text, length * sizeof(WCHAR));
    out[length] = L'\0';
    return 1;
}

int TobraTrimBlanks(const WCHAR* text, WCHAR* out, int chars)
{
    return TrimInto(text, lstrlenW(text), out, chars);
}

int TobraIsSidText(const WCHAR* text)
{
    const WCHAR* p;
    int numbers = 0;
    PSID sid = NULL;

    if (text[0] != L'S' || text[1] != L'-' || text[2] != L'1' || text[3] != L'-')
        return 0;
    /* The identifier authority, then at least one sub-authority. */
    for (p = text + 4;; ++p) {
        if (*p < L'0' || *p > L'9')
            return 0;
        while (*p >= L'0' && *p <= L'9')
            ++p;
        ++numbers;
        if (*p == L'\0')
            break;
        if (*p != L'-')
            return 0;
    }
    if (numbers < 2 || !ConvertStringSidToSidW(text, &sid))
        return 0;
    LocalFree(sid);
    return 1;
}

/* The characters of a value's data before the terminators at its end, however
 * many (reg add /d "" writes an empty list as two); -1 when the byte count is
 * not whole characters. */
static int ContentChars(const WCHAR* data, DWORD bytes)
{
    int chars;
    if (bytes % sizeof(WCHAR) != 0)
        return -1;
    chars = (int)(bytes / sizeof(WCHAR));
    while (chars > 0 && data[chars - 1] == L'\0')
        --chars;
    return chars;
}

/* The entry of content[0, end) that starts at *at, trimmed into out, and *at
 * past its terminator: 1, or 0 after the last entry, or -1 when the entry is
 * empty or blank or does not fit. */
static int NextEntry(const WCHAR* content, int end, int* at, WCHAR* out, int chars)
{
    int length = 0;
    int fits;
    if (*at >= end)
        return 0;
    while (*at + length < end && content[*at + length] != L'\0')
        ++length;
    fits = TrimInto(content + *at, length, out, chars);
    *at += length + 1;
    return fits && out[0] != L'\0' ? 1 : -1;
}

int TobraParseAllowedAdapters(DWORD type, const WCHAR* data, DWORD bytes,
                              unsigned char addresses[][TOBRA_HARDWARE_ADDRESS_SIZE])
{
    WCHAR entry[TOBRA_ADDRESS_TEXT_CHARS];
    int end;
    int at = 0;
    int count = 0;
    int next;

    if (type != REG_MULTI_SZ || (end = ContentChars(data, bytes)) < 0)
        return -1;
    while ((next = NextEntry(data, end, &at, entry, TOBRA_ADDRESS_TEXT_CHARS)) == 1) {
        if (count == TOBRA_POLICY_MAX_ADAPTERS || !TobraParseHardwareAddress(entry, addresses[count]))
            return -1;
        ++count;
    }
    return next == 0 ? count : -1;
}

int TobraParseAllowedClients(DWORD type, const WCHAR* data, DWORD bytes, WCHAR* sids)
{
    WCHAR entry[TOBRA_POLICY_SID_CHARS];
    int end;
    int length = 0;
    int at = 0;
    int used = 0;
    int count = 0;
    int next;

    if ((type != REG_SZ && type != REG_MULTI_SZ) || (end = ContentChars(data, bytes)) < 0)
        return -1;
    sids[0] = L'\0';
    if (type == REG_SZ) {
        while (length < end && data[length] != L'\0')
            ++length;
        if (length < end || !TrimInto(data, length, entry, TOBRA_POLICY_SID_CHARS))
            return -1;
        if (entry[0] == L'\0')
            return 0;
        if (!TobraIsSidText(entry))
            return -1;
        length = lstrlenW(entry) + 1;
        CopyMemory(sids, entry, length * sizeof(WCHAR));
        sids[length] = L'\0';
        return 1;
    }
    /* Each entry is judged in its own buffer, so that the list's room is
     * never written past, however many entries the value holds. */
    while ((next = NextEntry(data, end, &at, entry, TOBRA_POLICY_SID_CHARS)) == 1) {
        if (count == TOBRA_POLICY_MAX_CLIENTS || !TobraIsSidText(entry))
            return -1;
        length = lstrlenW(entry) + 1;
        CopyMemory(sids + used, entry, length * sizeof(WCHAR));
        used += length;
        ++count;
    }
    sids[used] = L'\0';
    return next == 0 ? count : -1;
}

int TobraParseAdapterProperty(const WCHAR* text, WCHAR* multiString, int chars)
{
    int count = 0;
    while (*text != L'\0') {
        WCHAR trimmed[TOBRA_ADDRESS_TEXT_CHARS];
        unsigned char address[TOBRA_HARDWARE_ADDRESS_SIZE];
        int length = 0;
        while (text[length] != L'\0' && text[length] != L';')
            ++length;
        if (!TrimInto(text, length, trimmed, TOBRA_ADDRESS_TEXT_CHARS))
            return -1;
        text += text[length] == L';' ? length + 1 : length;
        if (trimmed[0] == L'\0')
            continue;
        if (count == TOBRA_POLICY_MAX_ADAPTERS || !TobraParseHardwareAddress(trimmed, address))
            return -1;
        if (multiString != NULL) {
            /* This address and the list's terminator after it. */
            if ((count + 1) * TOBRA_ADDRESS_TEXT_CHARS + 1 > chars)
                return -1;
            TobraFormatHardwareAddress(address, multiString + count * TOBRA_ADDRESS_TEXT_CHARS);
        }
        ++count;
    }
    if (multiString != NULL) {
        if (count * TOBRA_ADDRESS_TEXT_CHARS + 1 > chars)
            return -1;
        multiString[count * TOBRA_ADDRESS_TEXT_CHARS] = L'\0';
    }
    return count;
}

int TobraParseClientProperty(const WCHAR* text, WCHAR* multiString, int chars)
{
    int count = 0;
    int used = 0;
    while (*text != L'\0') {
        WCHAR trimmed[TOBRA_POLICY_SID_CHARS];
        int length = 0;
        while (text[length] != L'\0' && text[length] != L';')
            ++length;
        if (!TrimInto(text, length, trimmed, TOBRA_POLICY_SID_CHARS))
            return -1;
        text += text[length] == L';' ? length + 1 : length;
        if (trimmed[0] == L'\0')
            continue;
        if (count == TOBRA_POLICY_MAX_CLIENTS || !TobraIsSidText(trimmed))
            return -1;
        length = lstrlenW(trimmed) + 1;
        if (multiString != NULL) {
            /* This SID and the list's terminator after it. */
            if (used + length + 1 > chars)
                return -1;
            CopyMemory(multiString + used, trimmed, length * sizeof(WCHAR));
        }
        used += length;
        ++count;
    }
    if (multiString != NULL) {
        if (used + 1 > chars)
            return -1;
        multiString[used] = L'\0';
    }
    return count;
}
