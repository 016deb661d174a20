/* Small text helpers that the client library, tobractl, the service and the
 * installer's actions share; the hardware-address text is declared with the
 * wire format (tobra_wire.h) and written in tobra_text.c. */
#ifndef TOBRA_TEXT_H
#define TOBRA_TEXT_H

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 to 15 for a hexadecimal digit of either case, else -1. */
int TobraHexDigit(wchar_t c);

/* The ASCII letters A to Z folded to a to z; every other character as it is. */
wchar_t TobraFoldAscii(wchar_t c);

#ifdef __cplusplus
}
#endif

#endif
