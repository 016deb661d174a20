/* Text for a person, from the project's command-line programs: UTF-16 as it is
 * to a console, UTF-8 to a file or a pipe, so that any adapter name survives
 * a redirection. */
#ifndef TOBRA_CONSOLE_H
#define TOBRA_CONSOLE_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes length characters of text to STD_OUTPUT_HANDLE or STD_ERROR_HANDLE. */
void TobraWriteText(DWORD stream, const wchar_t* text, int length);

#ifdef __cplusplus
}
#endif

#endif
