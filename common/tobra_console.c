/* Text for a person, to a console or a redirection. */
#include "tobra_console.h"

void TobraWriteText(DWORD stream, const wchar_t* text, int length)
{
    HANDLE handle = GetStdHandle(stream);
    DWORD mode;
    DWORD written;
    int size;
    char* bytes;

    if (handle == NULL || handle == INVALID_HANDLE_VALUE || length <= 0)
        return;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text, (DWORD)length, &written, NULL);
        return;
    }
    size = WideCharToMultiByte(CP_UTF8, 0, text, length, NULL, 0, NULL, NULL);
    bytes = size > 0 ? (char*)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size) : NULL;
    if (bytes == NULL)
        return;
    size = WideCharToMultiByte(CP_UTF8, 0, text, length, bytes, size, NULL, NULL);
    if (size > 0)
        WriteFile(handle, bytes, (DWORD)size, &written, NULL);
    HeapFree(GetProcessHeap(), 0, bytes);
}
