/* Text the project reads and writes in more than one program: hardware
 * addresses (the client library, tobractl, the service's policy, the
 * installer), hexadecimal digits and ASCII case. Needs nothing but the C
 * library. */
#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "tobra_text.h"
#include "tobra_wire.h"

int TobraHexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

int TobraParseHardwareAddress(const wchar_t* text, unsigned char address[TOBRA_HARDWARE_ADDRESS_SIZE])
{
    unsigned char bytes[TOBRA_HARDWARE_ADDRESS_SIZE];
    wchar_t separator = 0;
    int length;
    int i;

    if (text == NULL)
        return 0;
    length = (int)wcslen(text);
    if (length == 3 * TOBRA_HARDWARE_ADDRESS_SIZE - 1) {
        separator = text[2];
        if (separator != L'-' && separator != L':')
            return 0;
    } else if (length != 2 * TOBRA_HARDWARE_ADDRESS_SIZE) {
        return 0;
    }
    for (i = 0; i < TOBRA_HARDWARE_ADDRESS_SIZE; ++i) {
        int high = TobraHexDigit(text[0]);
        int low = TobraHexDigit(text[1]);
        if (high < 0 || low < 0)
            return 0;
        bytes[i] = (unsigned char)(high * 16 + low);
        text += 2;
        if (separator != 0 && i < TOBRA_HARDWARE_ADDRESS_SIZE - 1) {
            if (*text != separator)
                return 0;
            ++text;
        }
    }
    memcpy(address, bytes, sizeof(bytes));
    return 1;
}

void TobraFormatHardwareAddress(const unsigned char* address, wchar_t text[TOBRA_ADDRESS_TEXT_CHARS])
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    int i;
    for (i = 0; i < TOBRA_HARDWARE_ADDRESS_SIZE; ++i) {
        text[3 * i] = digits[address[i] >> 4];
        text[3 * i + 1] = digits[address[i] & 0x0F];
        text[3 * i + 2] = i < TOBRA_HARDWARE_ADDRESS_SIZE - 1 ? L'-' : L'\0';
    }
}

wchar_t TobraFoldAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? (wchar_t)(c - L'A' + L'a') : c;
}
